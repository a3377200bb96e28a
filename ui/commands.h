#pragma once
#include <windows.h>

#include <string_view>

// WM_COMMAND of the Main window: routes each button to its handler.
LRESULT OnMainCommand(HWND hwnd, int id, int notification);
// After a confirmed cancel: the job's button is disabled and reads
// "正在取消...", the notice shows `noticeText` (GBK).
void RunCancelTail(HWND hwnd, int buttonId, const char* noticeText);
// Yes/No cancel confirmation with No as the default.
bool ConfirmCancel(HWND hwnd, std::u8string_view text, std::u8string_view title);
