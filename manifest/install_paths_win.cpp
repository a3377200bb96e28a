#include <windows.h>

#include "app/log.h"
#include "manifest/install_paths.h"

namespace {

bool FullPath(const std::wstring& in, std::wstring* out) {
  wchar_t buf[MAX_PATH];
  DWORD n = GetFullPathNameW(in.c_str(), MAX_PATH, buf, nullptr);
  if (n == 0 || n >= MAX_PATH) return false;
  out->assign(buf, n);
  return true;
}

}  // namespace

bool IsInsideInstallDir(const std::wstring& installDir, const std::wstring& localPath) {
  std::wstring dir, path;
  if (!FullPath(installDir, &dir) || !FullPath(localPath, &path)) return false;
  if (!dir.empty() && dir.back() != L'\\') dir.push_back(L'\\');
  return HasDirectoryPrefix(dir, path);
}

bool CreateParentDirectories(const std::wstring& path) {
  for (size_t p = 1; p < path.size(); ++p) {
    if (path[p] != L'\\' && path[p] != L'/') continue;
    if (p <= 2) continue;  // a bare drive such as "C:"
    std::wstring prefix = path.substr(0, p);
    if (!CreateDirectoryW(prefix.c_str(), nullptr)) {
      DWORD err = GetLastError();
      if (err != ERROR_ALREADY_EXISTS) {
        LogWrite("CreateDirectoryW failed: %ls err=%lu", prefix.c_str(), static_cast<unsigned long>(err));
        return false;
      }
    }
  }
  return true;
}

bool FileSizeOf(const std::wstring& path, std::uint64_t* size) {
  *size = 0;
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d) || (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  *size = (static_cast<std::uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
  return true;
}

bool FreeBytesAt(std::wstring folder, std::uint64_t* freeBytes) {
  for (;;) {
    ULARGE_INTEGER available;
    if (GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) {
      *freeBytes = available.QuadPart;
      return true;
    }
    size_t sep = folder.find_last_of(L"\\/");
    if (sep == std::wstring::npos || sep == 0) return false;
    folder.resize(sep);
  }
}
