#pragma once
// Private messages of the Main window. Workers post them; the window handles
// them on the UI thread. A payload changes owner with a successful post.
#include <windows.h>

enum : UINT {
  WMU_TRAY_NOTIFY = WM_USER + 1,         // 1025: wParam tray icon id, lParam mouse message
  WMU_STATUS_TEXT = WM_USER + 3,         // 1027: lParam movable HGLOBAL with GBK text
  WMU_PROGRESS = WM_USER + 4,            // 1028: wParam percent 0..100
  WMU_PATCH_NORMAL_DONE = WM_USER + 5,   // 1029: wParam 0 done, 1 failed, 2 cancelled
  WMU_PATCH_HD_DONE = WM_USER + 6,       // 1030: as above
  WMU_ADDON_DONE = WM_USER + 9,          // 1033: wParam result, lParam addon button id
  WMU_CLIENT_DONE = WM_USER + 10,        // 1034: lParam ClientDownloadResult*
  WMU_CLIENT_CONNECTING = WM_USER + 11,  // 1035
  WMU_NET_TIMEOUT = WM_USER + 12,        // 1036
  WMU_VERIFY_DONE = WM_USER + 20,        // 1044: lParam ClientVerifyResult*
  WMU_LAUNCHER_OFFER = WM_USER + 21,     // 1045: lParam LauncherOffer* (install/self_update_win.h)
  WMU_LAUNCHER_READY = WM_USER + 22,     // 1046: wParam 1 the new launcher is in place, 0 not
};

// Job results carried by the completion messages.
// kJobUnsigned: failed because what was fetched lacks the operator's signature.
// kJobFilesLocked: a file of the player's could not be moved; the worker has
// posted the text naming it as the last status text, and the window shows it
// in the error box.
enum JobResult : int { kJobDone = 0, kJobFailed = 1, kJobCancelled = 2, kJobUnsigned = 3, kJobFilesLocked = 4 };

// The window the workers report to; null until the Main window exists.
extern HWND MainWindow;

// Copies a GBK text into a movable global block and posts WMU_STATUS_TEXT;
// nothing happens for a null window. The window frees the block.
void PostStatusText(HWND window, const char* text);
// Posts WMU_NET_TIMEOUT to `window`, or to MainWindow when it is null, if
// that window exists.
void PostNetTimeout(HWND window);
