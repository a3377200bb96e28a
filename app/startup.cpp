#include "app/startup.h"

#include "net/text.h"

bool IsSupportedWindowsVersion() {
  OSVERSIONINFOEXA info = {};
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) return false;
#pragma GCC diagnostic pop
  if (info.dwMajorVersion > 6) return true;
  if (info.dwMajorVersion == 6 && info.dwMinorVersion > 1) return true;
  return info.dwMajorVersion == 6 && info.dwMinorVersion == 1 && info.wServicePackMajor >= 1;
}

int RunLauncher(HINSTANCE, int) {
  if (!IsSupportedWindowsVersion()) {
    MessageBoxA(nullptr,
                Gbk(u8"本登录器需要 Windows 7 SP1 或更高版本的操作系统。\n\n"
                    u8"如果您正在使用 Windows 7，请确保已安装 Service Pack 1。\n"
                    u8"Windows XP 和 Vista 不受支持。").c_str(),
                Gbk(u8"系统版本不支持").c_str(), MB_ICONERROR);
    return 0;
  }
  return 0;
}
