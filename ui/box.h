#pragma once
// The launcher's own message box: the system box's texts, buttons, default
// button, keys and result, drawn in the window's colours with the bundled
// font, so that its Chinese reads right whatever fonts the system has.
#include <windows.h>

#include <string>

// As MessageBoxW for the flags the program uses: MB_OK, MB_OKCANCEL,
// MB_YESNO, MB_YESNOCANCEL, MB_RETRYCANCEL; MB_ICONERROR, MB_ICONWARNING,
// MB_ICONQUESTION, MB_ICONINFORMATION; MB_DEFBUTTON1..3. Enter presses the
// default button, Esc and the title bar's × answer Cancel (No for a box of
// Yes and No, OK for a box with only OK) and do nothing where the box has
// none of them, a button's letter presses it, Ctrl+C copies the box's
// texts. Modal to `owner`.
int LauncherBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT flags);
