#include "app/messages.h"

#include <cstring>

HWND MainWindow = nullptr;

void PostStatusText(HWND window, const char* text) {
  if (!window) return;
  if (!text) text = "";
  size_t len = std::strlen(text);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, len + 1);
  if (!block) return;
  void* p = GlobalLock(block);
  if (!p) {
    GlobalFree(block);
    return;
  }
  std::memcpy(p, text, len + 1);
  GlobalUnlock(block);
  if (!PostMessageA(window, WMU_STATUS_TEXT, 0, reinterpret_cast<LPARAM>(block))) GlobalFree(block);
}

void PostNetTimeout(HWND window) {
  HWND target = window ? window : MainWindow;
  if (target && IsWindow(target)) PostMessageA(target, WMU_NET_TIMEOUT, 0, 0);
}
