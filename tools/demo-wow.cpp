// The demo client's Wow.exe: shows which realm list and patch archives it
// found in its own folder, so that "开始游戏" visibly does something. It
// also writes what it saw to started.txt beside itself (UTF-8) and closes
// after a minute.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring g_text;

std::wstring Folder() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring p = self;
  return p.substr(0, p.find_last_of(L'\\'));
}

std::wstring ReadRealmFile(const std::wstring& folder) {
  FILE* f = _wfopen((folder + L"\\Data\\zhCN\\realmlist.wtf").c_str(), L"rb");
  if (!f) return L"(Data\\zhCN\\realmlist.wtf \u4e0d\u5b58\u5728)";  // 不存在
  char buf[1024] = {};
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  wchar_t wide[1024] = {};
  MultiByteToWideChar(CP_UTF8, 0, buf, static_cast<int>(n), wide, 1023);
  return wide;
}

std::wstring ListPatches(const std::wstring& folder) {
  std::wstring out;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((folder + L"\\Data\\zhCN\\patch-*.MPQ").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return L"(none)";
  do {
    out += std::wstring(fd.cFileName) + L"\r\n";
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return out;
}

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT r;
      GetClientRect(hwnd, &r);
      HBRUSH bg = CreateSolidBrush(RGB(20, 30, 60));
      FillRect(dc, &r, bg);
      DeleteObject(bg);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, RGB(240, 220, 150));
      InflateRect(&r, -16, -16);
      DrawTextW(dc, g_text.c_str(), -1, &r, DT_LEFT | DT_TOP | DT_NOPREFIX);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_LBUTTONUP:
    case WM_TIMER: DestroyWindow(hwnd); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  std::wstring folder = Folder();
  std::wstring realm = ReadRealmFile(folder), patches = ListPatches(folder);
  // 星桥演示客户端 … 服务器配置 … 补丁
  g_text =
      L"\u661f\u6865\u6f14\u793a\u5ba2\u6237\u7aef (3.3.5a demo)\r\n\r\n\u670d\u52a1\u5668\u914d\u7f6e "
      L"realmlist.wtf:\r\n" +
      realm + L"\r\n\u8865\u4e01:\r\n" + patches + L"\r\n(\u70b9\u51fb\u5173\u95ed)";
  std::string utf8(g_text.size() * 3 + 1, '\0');
  utf8.resize(WideCharToMultiByte(CP_UTF8, 0, g_text.c_str(), -1, utf8.data(), static_cast<int>(utf8.size()), nullptr,
                                  nullptr) -
              1);
  if (FILE* f = _wfopen((folder + L"\\started.txt").c_str(), L"wb")) {
    std::fwrite(utf8.data(), 1, utf8.size(), f);
    std::fclose(f);
  }
  WNDCLASSW wc = {};
  wc.lpfnWndProc = Proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.lpszClassName = L"RealmPorterDemoWow";
  RegisterClassW(&wc);
  HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"World of Warcraft (demo)", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                              60, 60, 520, 340, nullptr, nullptr, instance, nullptr);
  ShowWindow(hwnd, show);
  SetTimer(hwnd, 1, 60000, nullptr);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
