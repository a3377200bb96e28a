#include "config/paths.h"

#include <cwchar>

void NormalizeExtendedPath(std::wstring& path) {
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    path = L"\\\\" + path.substr(8);
  } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
    path.erase(0, 4);
  }
}

void NormalizeExtendedPath(wchar_t* path) {
  if (!path) return;
  size_t len = std::wcslen(path);
  if (len >= 8 && std::wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
    // "\\?\UNC\" (8) becomes "\\" (2): shift the rest 6 units left.
    std::wmemmove(path + 2, path + 8, len - 8 + 1);
  } else if (len >= 4 && std::wcsncmp(path, L"\\\\?\\", 4) == 0) {
    std::wmemmove(path, path + 4, len - 4 + 1);
  }
}

void TrimTrailingSeparators(std::wstring& path) {
  while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
}
