#include "download/save_folder.h"

std::wstring NormalizeSaveFolder(const std::wstring& path) {
  std::wstring p = path;
  if (p.size() >= 4 && p.compare(p.size() - 4, 4, L".rar") == 0) {
    size_t sep = p.find_last_of(L"/\\");
    p = sep == std::wstring::npos ? L"." : p.substr(0, sep);
  }
  if (p.size() == 2 && p[1] == L':') p += L'\\';
  return p;
}

std::wstring TrimSaveFolder(const std::wstring& path) {
  std::wstring p = path;
  while (p.size() >= 2 && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
  return p;
}
