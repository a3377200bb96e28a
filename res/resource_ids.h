#pragma once

// Icon of the window class, the taskbar and the tray.
#define IDI_APP_ICON 101
// OpenType data of the UI font, registered privately at start-up.
#define IDR_UI_FONT 201
