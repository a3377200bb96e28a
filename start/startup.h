#pragma once
#include <windows.h>

// The whole life of the launcher on the UI thread: checks, single instance,
// splash and loader, the Main window and its message loop, the bounded wait
// for workers and the release of every resource. Returns the exit code.
int RunLauncher(HINSTANCE instance, int showCommand);

// True on Windows 7 SP1 and later.
bool IsSupportedWindowsVersion();
