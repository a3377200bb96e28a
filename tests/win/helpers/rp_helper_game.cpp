// Stand-in for the game client in the tests. It writes its working folder
// and its command line (UTF-8, one per line) to started.txt beside itself,
// then stays up for the number of milliseconds given as its first argument
// when that is a number (default 0).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int wmain(int argc, wchar_t** argv) {
  wchar_t self[MAX_PATH], cwd[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  GetCurrentDirectoryW(MAX_PATH, cwd);
  std::wstring out = self;
  out = out.substr(0, out.find_last_of(L'\\')) + L"\\started.txt";
  char utf8[MAX_PATH * 3] = {};
  WideCharToMultiByte(CP_UTF8, 0, cwd, -1, utf8, sizeof utf8, nullptr, nullptr);
  std::wstring tmp = out + L".tmp";
  char line[4096] = {};
  WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, line, sizeof line, nullptr, nullptr);
  if (FILE* f = _wfopen(tmp.c_str(), L"wb")) {
    std::fputs(utf8, f);
    std::fputs("\n", f);
    std::fputs(line, f);
    std::fclose(f);
    MoveFileExW(tmp.c_str(), out.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  if (argc > 1) Sleep(static_cast<DWORD>(_wtoi(argv[1])));
  return 0;
}
