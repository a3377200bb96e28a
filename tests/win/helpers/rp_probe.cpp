// Looks at and pokes the running launcher from outside, as the UI tests
// need: its windows, controls, texts, states, message boxes.
//
//   rp_probe wait MS                    wait for the Main window; print its handle
//   rp_probe dump                       the Main window and its controls as JSON lines
//   rp_probe command ID [COUNT]         post WM_COMMAND for a button (COUNT times)
//   rp_probe select INDEX               select a server and notify the window
//   rp_probe post MSG WPARAM LPARAM     post a message to the Main window
//   rp_probe send MSG WPARAM LPARAM     send one and return once it is handled
//   rp_probe boxes                      open message boxes: "title|text|buttons"
//   rp_probe boxtext                    screen rectangle "x y w h" of an open box's message
//   rp_probe boxedit                    the text of each edit field of the open boxes, a line each
//   rp_probe press TEXT                 press the button TEXT (UTF-8) of an open box
//   rp_probe state                      visible, iconic, foreground of the Main window
//   rp_probe gdi                        GDI object count of the launcher process
//   rp_probe mem                        private bytes of the launcher process
//   rp_probe tray ID                    send the tray icon's mouse message ID
//   rp_probe kill                       end the launcher's process
//   rp_probe find CLASS                 1 when a visible window of the class exists
//   rp_probe tips                       texts of the visible tooltips and balloons, one a line
//   rp_probe trayicon                   screen point "x y" of the first icon in Wine's own tray
//   rp_probe clipboard                  the clipboard's text
//   rp_probe acc                        each control as a screen reader finds it (id, role, name, value,
//                                       state) through the accessibility interface, as JSON lines
//   rp_probe rect CLASS                 screen rectangle "x y w h" of the visible window of the class
//   rp_probe tabs COUNT                 press Tab COUNT times in the launcher; the focused id after each
//   rp_probe focus                      the id of the control with the keyboard focus (0: none)
// Texts are printed as UTF-8.
#include <windows.h>
#include <commctrl.h>
#include <oleacc.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string s(n > 0 ? n - 1 : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
  return s;
}

std::wstring Wide(const char* utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  std::wstring w(n > 0 ? n - 1 : 0, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w.data(), n);
  return w;
}

std::string Json(const std::string& s) {
  std::string o = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\')
      o += '\\', o += static_cast<char>(c);
    else if (c < 0x20) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04x", c);
      o += b;
    } else
      o += static_cast<char>(c);
  }
  return o + "\"";
}

std::wstring TextOf(HWND w) {
  wchar_t buf[1024] = {};
  // WM_GETTEXT through SendMessage works across processes.
  SendMessageTimeoutW(w, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 2000, nullptr);
  return buf;
}

// The process that owns a window, opened for `access`; null when it cannot be.
HANDLE OpenOwner(HWND window, DWORD access) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid ? OpenProcess(access, FALSE, pid) : nullptr;
}

// By class alone: the title is for the tests to read, so that a wrong one
// shows as such.
HWND FindMain() { return FindWindowW(L"RealmPorter", nullptr); }

std::vector<HWND> Boxes() {
  std::vector<HWND> out;
  HWND main = FindMain();
  DWORD pid = 0;
  if (main) GetWindowThreadProcessId(main, &pid);
  for (HWND w = FindWindowExW(nullptr, nullptr, L"#32770", nullptr); w;
       w = FindWindowExW(nullptr, w, L"#32770", nullptr)) {
    DWORD p = 0;
    GetWindowThreadProcessId(w, &p);
    if (IsWindowVisible(w) && (!pid || p == pid)) out.push_back(w);
  }
  return out;
}

int Dump() {
  HWND main = FindMain();
  if (!main) return 1;
  RECT wr, cr;
  GetWindowRect(main, &wr);
  GetClientRect(main, &cr);
  POINT origin = {0, 0};
  ClientToScreen(main, &origin);
  std::printf(
      "{\"main\":true,\"x\":%ld,\"y\":%ld,\"w\":%ld,\"h\":%ld,\"cx\":%ld,\"cy\":%ld,\"cw\":%ld,\"ch\":%ld,"
      "\"visible\":%d,\"iconic\":%d,\"title\":%s}\n",
      wr.left, wr.top, wr.right - wr.left, wr.bottom - wr.top, origin.x, origin.y, cr.right, cr.bottom,
      IsWindowVisible(main) ? 1 : 0, IsIconic(main) ? 1 : 0, Json(Utf8(TextOf(main))).c_str());
  for (HWND c = GetWindow(main, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    RECT r;
    GetWindowRect(c, &r);
    MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&r), 2);
    wchar_t cls[64] = {};
    GetClassNameW(c, cls, 64);
    std::string extra;
    if (lstrcmpiW(cls, L"ComboBox") == 0) {
      int n = static_cast<int>(SendMessageW(c, CB_GETCOUNT, 0, 0));
      extra = ",\"selected\":" + std::to_string(SendMessageW(c, CB_GETCURSEL, 0, 0)) + ",\"items\":[";
      for (int i = 0; i < n; ++i) {
        wchar_t item[512] = {};
        // CB_GETLBTEXT is marshalled across processes for combo boxes with strings.
        SendMessageW(c, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
        extra += (i ? "," : "") + Json(Utf8(item));
      }
      extra += "],\"dropped\":" + std::to_string(SendMessageW(c, CB_GETDROPPEDWIDTH, 0, 0));
    } else if (lstrcmpiW(cls, L"msctls_progress32") == 0) {
      extra = ",\"pos\":" + std::to_string(SendMessageW(c, PBM_GETPOS, 0, 0));
    }
    std::printf(
        "{\"id\":%d,\"class\":%s,\"text\":%s,\"x\":%ld,\"y\":%ld,\"w\":%ld,\"h\":%ld,\"visible\":%d,"
        "\"enabled\":%d,\"style\":%ld%s}\n",
        GetDlgCtrlID(c), Json(Utf8(cls)).c_str(), Json(Utf8(TextOf(c))).c_str(), r.left, r.top, r.right - r.left,
        r.bottom - r.top, IsWindowVisible(c) ? 1 : 0, IsWindowEnabled(c) ? 1 : 0, GetWindowLongW(c, GWL_STYLE),
        extra.c_str());
  }
  return 0;
}

// Prints the text of a visible tooltip or balloon. Those of the tray belong
// to Wine's shell, and their class may carry a version prefix
// ("6.0...!tooltips_class32").
BOOL CALLBACK PrintTip(HWND w, LPARAM) {
  wchar_t cls[128] = {};
  GetClassNameW(w, cls, 128);
  if (IsWindowVisible(w) && wcsstr(cls, L"tooltips_class32")) std::printf("%s\n", Utf8(TextOf(w)).c_str());
  return TRUE;
}

int Accessible() {
  HWND main = FindMain();
  if (!main) return 1;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  for (HWND c = GetWindow(main, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    IAccessible* acc = nullptr;
    if (FAILED(AccessibleObjectFromWindow(c, OBJID_CLIENT, IID_IAccessible, reinterpret_cast<void**>(&acc))) || !acc)
      continue;
    VARIANT self;
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    VARIANT role, state;
    VariantInit(&role);
    VariantInit(&state);
    BSTR name = nullptr, value = nullptr;
    acc->get_accRole(self, &role);
    acc->get_accState(self, &state);
    acc->get_accName(self, &name);
    acc->get_accValue(self, &value);
    std::printf("{\"id\":%d,\"role\":%ld,\"state\":%ld,\"name\":%s,\"value\":%s}\n", GetDlgCtrlID(c),
                role.vt == VT_I4 ? role.lVal : -1L, state.vt == VT_I4 ? state.lVal : -1L,
                Json(Utf8(name ? name : L"")).c_str(), Json(Utf8(value ? value : L"")).c_str());
    SysFreeString(name);
    SysFreeString(value);
    acc->Release();
  }
  CoUninitialize();
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  std::wstring cmd = argv[1];
  HWND main = FindMain();
  if (cmd == L"wait") {
    DWORD ms = argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 10000;
    for (DWORD t = 0; !main && t < ms; t += 100) {
      Sleep(100);
      main = FindMain();
    }
    if (!main) return 1;
    std::printf("%p\n", static_cast<void*>(main));
    return 0;
  }
  if (cmd == L"dump") return Dump();
  if (cmd == L"acc") return Accessible();
  if (cmd == L"rect" && argc > 2) {
    HWND w = FindWindowW(argv[2], nullptr);
    RECT r;
    if (!w || !IsWindowVisible(w) || !GetWindowRect(w, &r)) return 1;
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return 0;
  }
  if (cmd == L"find" && argc > 2) {
    HWND w = FindWindowW(argv[2], nullptr);
    std::printf("%d\n", w && IsWindowVisible(w) ? 1 : 0);
    return w ? 0 : 1;
  }
  if (cmd == L"rect" && argc > 2) {  // a window's client area on the screen
    HWND w = FindWindowW(argv[2], nullptr);
    RECT r;
    POINT p = {0, 0};
    if (!w || !GetClientRect(w, &r) || !ClientToScreen(w, &p)) return 1;
    std::printf("%ld %ld %ld %ld\n", p.x, p.y, r.right, r.bottom);
    return 0;
  }
  if (cmd == L"boxes") {
    for (HWND b : Boxes()) {
      std::string text, buttons;
      for (HWND c = GetWindow(b, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        wchar_t cls[32] = {};
        GetClassNameW(c, cls, 32);
        std::string t = Utf8(TextOf(c));
        if (lstrcmpiW(cls, L"Button") == 0)
          buttons += (buttons.empty() ? "" : ",") + t;
        else if (lstrcmpiW(cls, L"Static") == 0 && !t.empty())
          text += t;
      }
      std::printf("%s|%s|%s\n", Utf8(TextOf(b)).c_str(), text.c_str(), buttons.c_str());
    }
    return 0;
  }
  if (cmd == L"boxtext") {
    for (HWND b : Boxes())
      for (HWND c = GetWindow(b, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        wchar_t cls[32] = {};
        GetClassNameW(c, cls, 32);
        if (lstrcmpiW(cls, L"Static") != 0 || TextOf(c).empty()) continue;
        RECT r;
        GetWindowRect(c, &r);
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
        return 0;
      }
    return 1;
  }
  if (cmd == L"boxedit") {
    for (HWND b : Boxes())
      for (HWND c = GetWindow(b, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        wchar_t cls[32] = {};
        GetClassNameW(c, cls, 32);
        if (lstrcmpiW(cls, L"Edit") == 0) std::printf("%s\n", Utf8(TextOf(c)).c_str());
      }
    return 0;
  }
  if (cmd == L"boxtype" && argc > 2) {  // as if typed into a box's path field
    for (HWND b : Boxes())
      if (HWND field = FindWindowExW(b, nullptr, L"Edit", nullptr)) return SetWindowTextW(field, argv[2]) ? 0 : 1;
    return 1;
  }
  if (cmd == L"press" && argc > 2) {
    std::wstring want = argv[2];
    for (HWND b : Boxes())
      for (HWND c = GetWindow(b, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        std::wstring t = TextOf(c);
        // Message box buttons carry accelerators: "&Yes", "是(&Y)".
        std::wstring plain;
        for (size_t i = 0; i < t.size(); ++i) {
          if (t[i] == L'&') continue;
          if (t[i] == L'(' && i + 3 < t.size() + 1 && t.find(L')', i) != std::wstring::npos) break;
          plain += t[i];
        }
        if (plain == want || t == want) {
          PostMessageW(c, BM_CLICK, 0, 0);
          return 0;
        }
      }
    return 1;
  }
  if (!main) return 1;
  if (cmd == L"command" && argc > 2) {
    // Several clicks are queued together, so the window handles them back to back.
    for (int n = argc > 3 ? _wtoi(argv[3]) : 1; n > 0; --n)
      PostMessageW(main, WM_COMMAND, MAKEWPARAM(_wtoi(argv[2]), BN_CLICKED), 0);
    return 0;
  }
  if (cmd == L"select" && argc > 2) {
    HWND combo = GetDlgItem(main, 1009);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(_wtoi(argv[2])), 0);
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(1009, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    return 0;
  }
  if (cmd == L"send" && argc > 4) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(main, static_cast<UINT>(_wtoi(argv[2])), static_cast<WPARAM>(_wtoi(argv[3])),
                               static_cast<LPARAM>(_wtoi(argv[4])), SMTO_NORMAL, 30000, &result)
               ? 0
               : 1;
  }
  if (cmd == L"post" && argc > 4) {
    PostMessageW(main, static_cast<UINT>(_wtoi(argv[2])), static_cast<WPARAM>(_wtoi(argv[3])),
                 static_cast<LPARAM>(_wtoi(argv[4])));
    return 0;
  }
  if (cmd == L"tray" && argc > 2) {
    PostMessageW(main, 1025, 1, _wtoi(argv[2]));
    return 0;
  }
  if (cmd == L"focus" || (cmd == L"tabs" && argc > 2)) {
    // The focus of another thread: its GUI thread's state.
    auto focus = [main] {
      GUITHREADINFO info = {};
      info.cbSize = sizeof info;
      GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &info);
      return info.hwndFocus && IsChild(main, info.hwndFocus) ? info.hwndFocus : nullptr;
    };
    // Each Tab as the message loop finds it in the queue; handled once the
    // focus moves (a sent message would be answered before it).
    for (int n = cmd == L"tabs" ? _wtoi(argv[2]) : 0; n > 0; --n) {
      HWND before = focus();
      PostMessageW(before ? before : main, WM_KEYDOWN, VK_TAB, 1);
      for (int t = 0; t < 100 && focus() == before; ++t) Sleep(20);
      std::printf("%d ", GetDlgCtrlID(focus()));
    }
    if (cmd == L"focus") std::printf("%d", focus() ? GetDlgCtrlID(focus()) : 0);
    std::printf("\n");
    return 0;
  }
  if (cmd == L"state") {
    std::printf("visible=%d iconic=%d foreground=%d\n", IsWindowVisible(main) ? 1 : 0, IsIconic(main) ? 1 : 0,
                GetForegroundWindow() == main ? 1 : 0);
    return 0;
  }
  if (cmd == L"tips") {
    EnumWindows(PrintTip, 0);
    return 0;
  }
  if (cmd == L"trayicon") {
    // Without a desktop's tray, Wine shows the icons in a window of its own,
    // one square a small icon and a 2-pixel border wide, the first at the left.
    HWND tray = FindWindowW(L"__winex11_standalone_tray", nullptr);
    POINT p = {0, 0};
    if (!tray || !IsWindowVisible(tray) || !ClientToScreen(tray, &p)) return 1;
    const int half = (GetSystemMetrics(SM_CXSMICON) + 4) / 2;
    std::printf("%ld %ld\n", p.x + half, p.y + half);
    return 0;
  }
  if (cmd == L"clipboard") {
    if (!OpenClipboard(nullptr)) return 1;
    std::string text;
    if (HANDLE h = GetClipboardData(CF_UNICODETEXT))
      if (const wchar_t* w = static_cast<const wchar_t*>(GlobalLock(h))) {
        text = Utf8(w);
        GlobalUnlock(h);
      }
    CloseClipboard();
    std::printf("%s", text.c_str());
    return 0;
  }
  if (cmd == L"kill") {
    HANDLE p = OpenOwner(main, PROCESS_TERMINATE | SYNCHRONIZE);
    if (!p) return 1;
    TerminateProcess(p, 0);
    WaitForSingleObject(p, 5000);
    CloseHandle(p);
    return 0;
  }
  if (cmd == L"mem") {
    HANDLE p = OpenOwner(main, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ);
    if (!p) return 1;
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(p, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc);
    std::printf("%lu\n", static_cast<unsigned long>(pmc.PrivateUsage));
    CloseHandle(p);
    return 0;
  }
  if (cmd == L"gdi") {
    HANDLE p = OpenOwner(main, PROCESS_QUERY_INFORMATION);
    if (!p) return 1;
    std::printf("%lu\n", GetGuiResources(p, GR_GDIOBJECTS));
    CloseHandle(p);
    return 0;
  }
  return 2;
}
