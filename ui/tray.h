#pragma once
#include <windows.h>

#include <string_view>

// The notification-area icon: present from start-up on; closing the window
// hides it to the icon, whose menu shows it again or ends the program.
extern bool TrayIconAdded;
void AddTrayIcon(HWND window);
void RemoveTrayIcon(HWND window);
void OnTrayNotify(HWND window, LPARAM lp);
// After the window went to the icon: the first time since start-up a
// balloon says the launcher keeps running there and how to end it.
void NoteWindowInTray(HWND window);
// The icon's tip: the running job and its percentage, or the program's name
// when `job` is empty.
void SetTrayTip(HWND window, std::u8string_view job, int percent);
