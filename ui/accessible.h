#pragma once
// What a screen reader finds in the Main window: every control answers the
// accessibility interface (WM_GETOBJECT) with its role and a name in words,
// the glass buttons as push buttons with their labels, the status line and
// the description as the texts they show, the progress bar with its
// percentage, the realm list with the chosen realm.
#include <windows.h>

void InstallAccessibleNames(HWND mainWindow);
