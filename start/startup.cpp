#include "start/startup.h"

#include <commctrl.h>
#include <objbase.h>

#include <memory>

#include "app/com_out.h"
#include "app/crash.h"
#include "app/jobs.h"
#include "app/log.h"
#include "app/system_dlls.h"
#include "config/serverlist_sources.h"
#include "config/startup_loader.h"
#include "install/self_update_win.h"
#include "install/transaction.h"
#include "net/text.h"
#include "ui/font.h"
#include "ui/ids.h"
#include "ui/job_buttons.h"
#include "ui/keys.h"
#include "ui/launcher_update.h"
#include "ui/layout.h"
#include "ui/main_window.h"
#include "ui/paint.h"
#include "ui/splash.h"
#include "ui/tray.h"
#include "ui/ui_state.h"
#include "ui/window_services.h"

int UiScalePercent = 100;
int MainWindowWidth = 840, MainWindowHeight = 500;
HFONT UiFont = nullptr;
HBRUSH BackgroundBrush = nullptr, EditBrush = nullptr, ButtonBrush = nullptr, ListBrush = nullptr;
std::wstring BackgroundImagePath;
Gdiplus::Image* BackgroundImage = nullptr;
ITaskbarList3* Taskbar = nullptr;
std::atomic<HWND> HoverControl{nullptr};
std::atomic<float> PulsePhase{0.0f};
std::atomic<float> PlatePhase{0.0f};
BackgroundCacheData BackgroundCache;

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
bool QueryVersion(OSVERSIONINFOEXA* info) {
  *info = {};
  info->dwOSVersionInfoSize = sizeof *info;
  return GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(info)) != 0;
}
#pragma GCC diagnostic pop

template <class Fn>
Fn Lookup(const char* dll, const char* name) {
  HMODULE m = GetModuleHandleA(dll);
  return m ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m, name))) : nullptr;
}

// Windows 7 ships TLS 1.2 switched off for the system's HTTP stack.
void EnsureTls12() {
  HKEY key;
  LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                          KEY_READ | KEY_WRITE, &key);
  if (rc != ERROR_SUCCESS) {
    LogWrite("EnsureTls12: cannot open Internet Settings registry key, error=%lu", static_cast<unsigned long>(rc));
    return;
  }
  DWORD value = 0, size = sizeof value, type = 0;
  if (RegQueryValueExA(key, "SecureProtocols", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
    value = 0;
  if (!(value & 0x800)) {
    value |= 0x800;
    rc = RegSetValueExA(key, "SecureProtocols", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    if (rc == ERROR_SUCCESS)
      LogWrite("EnsureTls12: enabled TLS 1.2 (SecureProtocols=0x%X)", static_cast<unsigned>(value));
    else
      LogWrite("EnsureTls12: failed to write SecureProtocols, error=%lu", static_cast<unsigned long>(rc));
  }
  RegCloseKey(key);
}

void MakeDpiAware() {
  using SetContext = BOOL(WINAPI*)(HANDLE);
  if (auto f = Lookup<SetContext>("user32.dll", "SetProcessDpiAwarenessContext"))
    if (f(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)))) return;
  if (HMODULE shcore = LoadSystemDll(L"Shcore.dll")) {
    using SetAwareness = HRESULT(WINAPI*)(int);
    auto f = reinterpret_cast<SetAwareness>(reinterpret_cast<void*>(GetProcAddress(shcore, "SetProcessDpiAwareness")));
    if (f) {
      f(2);
      FreeLibrary(shcore);
      return;
    }
    FreeLibrary(shcore);
  }
  SetProcessDPIAware();
}

int SystemDpi() {
  using GetDpi = UINT(WINAPI*)();
  if (auto f = Lookup<GetDpi>("user32.dll", "GetDpiForSystem")) return static_cast<int>(f());
  HDC screen = GetDC(nullptr);
  int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return dpi;
}

// A second start shows the first instance's window when it is hidden in the
// tray or minimised, and ends. A mutex that exists but may not be opened
// (an elevated first instance, another user's) is held all the same: this
// start must not run recovery on journals the first one is writing.
bool HandOverToFirstInstance(HANDLE* mutex) {
  *mutex = CreateMutexA(nullptr, TRUE, "Global\\QzRealmPorter_Mutex");
  if (!*mutex && GetLastError() == ERROR_ACCESS_DENIED) return true;
  if (!*mutex || GetLastError() != ERROR_ALREADY_EXISTS) return false;
  if (HWND first = FindWindowW(kMainClass, MainWindowTitle().c_str())) {
    if (IsIconic(first) || !IsWindowVisible(first)) {
      ShowWindow(first, SW_RESTORE);
      SetForegroundWindow(first);
    }
  }
  ReleaseMutex(*mutex);
  CloseHandle(*mutex);
  return true;
}

enum class SplashEnd { LoaderDone, DeadlinePassed, Closed };

// Pumps the splash's messages until the loader ends, the deadline passes or
// the player closes the splash.
SplashEnd RunSplash(HINSTANCE instance, HANDLE loaderDone) {
  HWND splash = RegisterSplashClass(instance) ? CreateSplashWindow(instance) : nullptr;
  const ULONGLONG deadline = GetTickCount64() + kStartupLoadDeadlineMs;
  SplashEnd end = SplashEnd::DeadlinePassed;
  if (splash) {
    ShowWindow(splash, SW_SHOW);
    UpdateWindow(splash);
    SetForegroundWindow(splash);
  }
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    const DWORD wait = static_cast<DWORD>(deadline - now < 50 ? deadline - now : 50);
    if (MsgWaitForMultipleObjects(1, &loaderDone, FALSE, wait, QS_ALLINPUT) == WAIT_OBJECT_0) {
      end = SplashEnd::LoaderDone;
      break;
    }
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (splash && !IsWindow(splash)) return SplashEnd::Closed;
  }
  if (splash) DestroyWindow(splash);
  return end;
}

// The status line names the list shown when the site's could not be had.
void SayWhichServerList(HWND main, ServerListSource source) {
  if (source == ServerListSource::Site) return;
  LogWrite("LoadServerList: site list not loaded, showing the %s list",
           source == ServerListSource::Cache ? "cached" : "built-in");
  SetStatusText(main, GetDlgItem(main, kIdNotice),
                Gbk(source == ServerListSource::Cache ? u8"未能加载服务器列表，当前显示上次保存的列表。"
                                                      : u8"未能加载服务器列表，当前显示登录器内置的列表。")
                    .c_str());
}

// Once, after the window is up, where the report of the last crash lies,
// for the player to send it.
void AnnounceLastCrash(HWND main) {
  std::wstring report = TakeUnannouncedCrashReport();
  if (report.empty()) return;
  ShowGbkBox(main,
             Gbk(u8"登录器上次意外关闭，错误报告已保存在：\n\n") + GbkFromWide(report) +
                 Gbk(u8"\n\n如需帮助，请把这个文件和同名的 .log 文件发给服务器管理员。"),
             Gbk(u8"错误报告"), MB_ICONINFORMATION);
}

}  // namespace

void AdjustWindowRectForScale(RECT* rect) {
  using AdjustForDpi = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
  static const AdjustForDpi adjust = Lookup<AdjustForDpi>("user32.dll", "AdjustWindowRectExForDpi");
  if (adjust)
    adjust(rect, WS_POPUP | WS_BORDER, FALSE, 0, static_cast<UINT>(MulDiv(96, UiScalePercent, 100)));
  else
    AdjustWindowRect(rect, WS_POPUP | WS_BORDER, FALSE);
}

bool IsSupportedWindowsVersion() {
  OSVERSIONINFOEXA info;
  if (!QueryVersion(&info)) return false;
  if (info.dwMajorVersion > 6) return true;
  if (info.dwMajorVersion == 6 && info.dwMinorVersion > 1) return true;
  return info.dwMajorVersion == 6 && info.dwMinorVersion == 1 && info.wServicePackMajor >= 1;
}

int RunLauncher(HINSTANCE instance, int showCommand) {
  if (!IsSupportedWindowsVersion()) {
    ShowBox(nullptr,
            u8"本登录器需要 Windows 7 SP1 或更高版本的操作系统。\n\n"
            u8"如果您正在使用 Windows 7，请确保已安装 Service Pack 1。\n"
            u8"Windows XP 和 Vista 不受支持。",
            u8"系统版本不支持", MB_ICONERROR);
    return 0;
  }
  OSVERSIONINFOEXA version;
  if (QueryVersion(&version) && version.dwMajorVersion == 6 && version.dwMinorVersion == 1) EnsureTls12();
  MakeDpiAware();
  UiScalePercent = ScaleFromDpi(SystemDpi());
  MainWindowWidth = Scaled(840);
  MainWindowHeight = Scaled(500);

  HANDLE mutex = nullptr;
  if (HandOverToFirstInstance(&mutex)) return 0;
  RecoverInterruptedJobs();
  LogLauncherStart();
  if (TidyLauncherSwap()) {
    // The previous launcher is back: it starts in this one's place, which
    // must let go of the single-instance mutex first.
    if (mutex) {
      ReleaseMutex(mutex);
      CloseHandle(mutex);
    }
    RestartLauncher();
    return 0;
  }

  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Gdiplus::GdiplusStartupInput gdiplusInput;
  ULONG_PTR gdiplusToken = 0;
  Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, nullptr);
  InitCommonControls();

  // The loader may outlive the splash: past the deadline the window goes on
  // with the cached or built-in list, and what the loader finds later is
  // never read (config/startup_loader.h).
  auto load = std::make_shared<StartupLoad>();
  if (!StartStartupLoader(load)) {
    load->done = true;  // no thread: the cached or built-in sources below
    SetEvent(load->doneEvent);
  }
  const SplashEnd splashEnd = RunSplash(instance, load->doneEvent);
  const bool wentOn = AbandonStartupLoad(*load);
  if (splashEnd == SplashEnd::Closed) {
    LogWrite("Startup: splash closed by the player, launcher ends");
    Gdiplus::GdiplusShutdown(gdiplusToken);
    return 0;
  }
  if (wentOn) LogWrite("Startup: loader not done after %lu ms, window shown without it", kStartupLoadDeadlineMs);
  // Only this thread writes the list and the image path from here on.
  const std::wstring background = wentOn ? FindAnyCachedBackground() : load->backgroundPath;
  const ServerListSource listSource = FillServerList(wentOn ? std::string() : load->siteList);
  BackgroundImagePath = background;
  if (!BackgroundImagePath.empty()) BackgroundImage = LoadBackgroundImage(BackgroundImagePath.substr(0, 260));

  HANDLE fontRegistration = RegisterEmbeddedFont();
  bool fontOwned = false;
  UiFont = CreateUiFont(Scaled(16), &fontOwned);
  PrepareGdiplusFonts(UiFont);
  BackgroundBrush = CreateSolidBrush(RGB(8, 18, 38));
  EditBrush = CreateSolidBrush(RGB(8, 18, 38));
  ButtonBrush = CreateSolidBrush(RGB(26, 42, 66));
  ListBrush = CreateSolidBrush(RGB(10, 26, 50));

  HWND main = RegisterMainWindowClass(instance) ? CreateMainWindow(instance) : nullptr;
  if (main) {
    BuildBackgroundCache(main);
    SayWhichServerList(main, listSource);
    ShowWindow(main, showCommand);
    UpdateWindow(main);
    AnnounceLauncherRollBack(main);
    AnnounceLastCrash(main);
    CrashOnPurposeIfAsked();
    StartLauncherUpdateCheck(main);
    AddTrayIcon(main);
    Taskbar = ComOut<ITaskbarList3>([](ITaskbarList3** out) {
      return CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                              reinterpret_cast<void**>(out));
    });
    if (Taskbar && FAILED(Taskbar->HrInit())) {
      Taskbar->Release();
      Taskbar = nullptr;
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (HandleMainWindowKey(main, msg)) continue;  // Tab, Enter, the arrows (ui/keys.cpp)
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

  WaitForWorkers();

  ReleaseBackBuffers();
  if (Taskbar) {
    Taskbar->Release();
    Taskbar = nullptr;
  }
  ReleaseBackgroundCache();
  delete BackgroundImage;
  BackgroundImage = nullptr;
  if (fontOwned) DeleteObject(UiFont);
  UnregisterEmbeddedFont(fontRegistration);
  for (HBRUSH b : {BackgroundBrush, EditBrush, ButtonBrush, ListBrush}) DeleteObject(b);
  ReleaseGdiplusFonts();
  Gdiplus::GdiplusShutdown(gdiplusToken);
  // The new launcher must find the single-instance mutex free, or it would
  // only hand over to this one.
  if (LauncherRestartWanted.load()) {
    if (mutex) {
      ReleaseMutex(mutex);
      CloseHandle(mutex);
    }
    RestartLauncher();
  }
  return 0;
}
