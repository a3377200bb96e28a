#pragma once
// The Main window's side of the launcher's self-update: the offer's box, the
// download's start, and the end that restarts into the new version.
#include <windows.h>

void OnLauncherOffer(HWND hwnd, LPARAM offer);
void OnLauncherReady(HWND hwnd, WPARAM swapped);
// Once the window shows: the status line says when the previous launcher
// was put back because a new version never reached its window.
void AnnounceLauncherRollBack(HWND hwnd);
