#pragma once
// What every command and completion handler needs of the Main window: the
// status line and the notice, the progress bar, the taskbar's progress, the
// message boxes and the attention a finished job draws. The window and the
// command files both stand on this file; it knows neither. UI thread only.
#include <windows.h>

#include <string>
#include <string_view>

// Label texts: a GBK text or a UTF-8 one, both shown through the wide call.
// Both do nothing for null handles or an unchanged text, and repaint the
// label's area of the parent (labels have no background of their own).
void SetStatusText(HWND parent, HWND control, const char* text);
void SetStatusTextUtf8(HWND parent, HWND control, const char* text);
void SetTaskbarProgress(HWND window, int percent);
void SetTaskbarProgressNone(HWND window);

// The progress bar reset to 0 within 0..100 and shown, for a job that starts.
void ShowJobProgress(HWND mainWindow);
// The progress bar at 0 and hidden.
void ResetProgress(HWND hwnd);
void HideProgress(HWND hwnd);

// The notice's standing text.
const char* StandingNotice();  // GBK
// The notice shows the standing notice and is made visible.
void ShowStandingNotice(HWND hwnd);

// For the completion handlers: a beep, and a flashing taskbar button when
// the window is not in front.
void DrawAttention(HWND hwnd, bool succeeded);

// Every message box of the program: GBK texts (a u8"..." one is made GBK
// first) shown through the wide call. `hwnd` null: a box without owner.
int ShowGbkBox(HWND hwnd, const std::string& text, const std::string& title, UINT flags);
void ShowBox(HWND hwnd, std::u8string_view text, std::u8string_view title, UINT flags);
// A job that ended with kJobFilesLocked: the notice keeps the worker's text
// naming the file, and an error box repeats it.
void ShowLockedFileBox(HWND hwnd);
