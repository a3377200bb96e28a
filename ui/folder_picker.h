#pragma once
// The client download's folder picker: the system's modern folder picker
// (with its path field) where there is one, the folder browser with a path
// field otherwise (and under Wine, whose modern picker does not answer);
// both open at `start` and have their texts in the bundled font.
#include <windows.h>

#include <string>

// The chosen folder; empty when the player cancels.
std::wstring PickFolder(HWND owner, const std::wstring& instruction, const std::wstring& start);
