#include "app/files.h"

#include <windows.h>

#include "app/log.h"

bool FileExists(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool MoveWithRetry(const std::wstring& from, const std::wstring& to, int ms) {
  for (int waited = 0;; waited += 100) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    if (waited >= ms) break;
    Sleep(100);
  }
  LogWrite("MoveFileEx failed (error %lu): %ls -> %ls", GetLastError(), from.c_str(), to.c_str());
  return false;
}

bool DeleteFileRetrying(const std::wstring& path, int ms) {
  for (int waited = 0;; waited += 100) {
    // A read-only file (an exe copied from a disc or a zip, a folder marked
    // read-only) is refused by DeleteFile until its attribute goes.
    const DWORD a = GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return true;
    if (a & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileW(path.c_str()) || !FileExists(path)) return true;
    if (waited >= ms) return false;
    Sleep(100);
  }
}
