#pragma once
// The Main window's handling of the private messages that every worker
// posts; each job's completion message is handled beside its command.
#include <windows.h>

void OnStatusTextMessage(HWND hwnd, LPARAM block);
void OnProgressMessage(HWND hwnd, WPARAM percent);
void OnClientConnecting(HWND hwnd);
void OnNetTimeout(HWND hwnd);
