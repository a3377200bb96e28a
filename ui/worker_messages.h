#pragma once
// The Main window's handling of the private messages that workers post.
#include <windows.h>

#include "app/jobs.h"

void OnStatusTextMessage(HWND hwnd, LPARAM block);
void OnProgressMessage(HWND hwnd, WPARAM percent);
void OnPatchDone(HWND hwnd, UINT msg, int result);
void OnAddonDone(HWND hwnd, int result, int buttonId);
void OnClientDone(HWND hwnd, ClientDownloadResult* result);
void OnClientConnecting(HWND hwnd);
void OnNetTimeout(HWND hwnd);
