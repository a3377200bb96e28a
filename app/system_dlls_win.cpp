#include "app/system_dlls.h"

#include <delayimp.h>

#include <string>

// Windows 10 and later resolve the exe's static imports from System32 only
// (LOAD_LIBRARY_SEARCH_SYSTEM32 as the image's DependentLoadFlags, the field
// mingw's header calls Reserved1). GNU ld does not point the image's load
// configuration directory at this record; tools/set-load-config.py does
// after the link. No SafeSEH table: the image keeps the handlers it has.
extern "C" __attribute__((used)) const IMAGE_LOAD_CONFIG_DIRECTORY32 _load_config_used = {
    sizeof(IMAGE_LOAD_CONFIG_DIRECTORY32), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    LOAD_LIBRARY_SEARCH_SYSTEM32,          0, 0, 0, 0};

namespace {

// Set when the process's default search is System32 only, which also makes
// LoadLibraryEx's search flags available.
bool g_searchFlags = false;

std::wstring SystemFolder() {
  wchar_t dir[MAX_PATH];
  UINT n = GetSystemDirectoryW(dir, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(dir, n) : std::wstring();
}

// The DLLs linked for delay loading (bcrypt, UxTheme, gdiplus and the other
// DLLs that are not known DLLs on Windows 7) come from here on their first
// call instead of the loader's search, which starts in the exe's folder.
FARPROC WINAPI DelayLoadNotify(unsigned notify, PDelayLoadInfo info) {
  if (notify != dliNotePreLoadLibrary || !info || !info->szDll) return nullptr;
  std::wstring name;
  for (const char* p = info->szDll; *p; ++p) name += static_cast<wchar_t>(static_cast<unsigned char>(*p));
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(LoadSystemDll(name.c_str())));
}

}  // namespace

void KeepDllSearchToSystem() {
  SetDllDirectoryW(L"");
  using SetDefaultDirs = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto setDefault = kernel ? reinterpret_cast<SetDefaultDirs>(
                                 reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")))
                           : nullptr;
  g_searchFlags = setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  __pfnDliNotifyHook2 = DelayLoadNotify;
}

HMODULE LoadSystemDll(const wchar_t* name) {
  // By name with the search flag, side-by-side assemblies (gdiplus on
  // Windows 7) still resolve; by full path only System32's own file does.
  if (g_searchFlags) return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  std::wstring dir = SystemFolder();
  if (dir.empty()) return nullptr;
  return LoadLibraryExW((dir + L"\\" + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
