#pragma once
#include <windows.h>

// The notification-area icon: present from start-up on; closing the window
// hides it to the icon, whose menu shows it again or ends the program.
extern bool TrayIconAdded;
void AddTrayIcon(HWND window);
void RemoveTrayIcon(HWND window);
void OnTrayNotify(HWND window, LPARAM lp);
