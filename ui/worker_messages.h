#pragma once
// The Main window's handling of the private messages that every worker
// posts; each job's completion message is handled beside its command.
#include <windows.h>

#include <string>

void OnStatusTextMessage(HWND hwnd, LPARAM block);
void OnProgressMessage(HWND hwnd, WPARAM percent);
// The client download's folder, named in the status line from the click on
// until its first bytes arrive (UI thread only).
void SetClientTarget(HWND hwnd, const std::wstring& folder);
void OnClientConnecting(HWND hwnd);
void OnNetTimeout(HWND hwnd);
