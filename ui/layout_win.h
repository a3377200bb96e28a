#pragma once
// The Main window's geometry where it follows its texts: the server row and
// the open realm list sized for the realms' names in the window's font.
#include <windows.h>

#include <string>

// Width in pixels of `text` as the control's painter draws it.
int ControlTextWidth(HWND fontSource, const std::wstring& text);
// The open list as wide as the widest name, the box as wide as the selected
// name (the description beside it moves), a tooltip with the name where it
// still does not fit. After the list is filled and on every selection.
void FitServerNames(HWND mainWindow);
// The description beside the list: whole, or ended with an ellipsis by its
// label and whole in a tooltip. After every change of its text or place.
void FitServerDescription(HWND mainWindow);
