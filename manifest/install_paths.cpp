#include "manifest/install_paths.h"

#include "net/ascii.h"

std::wstring JoinPath(const std::wstring& base, const std::wstring& rel) {
  if (base.empty()) return rel;
  if (rel.empty()) return base;
  if (base.back() == L'\\' || base.back() == L'/') return base + rel;
  return base + L'\\' + rel;
}

bool IsSafeManifestPath(std::string_view path) {
  if (path.empty()) return false;
  if (path.front() == '/' || path.front() == '\\') return false;
  if (path.find(':') != std::string_view::npos) return false;
  if (path.find("..") != std::string_view::npos) return false;
  return true;
}

bool IsPlainFolderName(std::string_view name) {
  if (name.empty() || name.find_first_not_of(". ") == std::string_view::npos) return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
    if (std::string_view("/\\:<>\"|?*").find(c) != std::string_view::npos) return false;
  }
  return true;
}

std::string LocalPathKey(std::string_view path) {
  std::string key;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    size_t keep = part.find_last_not_of(". ");
    // A part of dots and blanks alone ("." and the like) adds nothing.
    if (keep != std::string_view::npos) {
      if (!key.empty()) key.push_back('\\');
      for (char c : part.substr(0, keep + 1)) key.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
    }
    start = end + 1;
  }
  return key;
}

std::wstring ManifestPathToLocal(const std::wstring& widePath) {
  std::wstring out = widePath;
  for (wchar_t& c : out)
    if (c == L'/') c = L'\\';
  return out;
}

bool HasDirectoryPrefix(std::wstring_view dir, std::wstring_view path) {
  if (path.size() < dir.size()) return false;
  return EqualsIgnoreAsciiCase(dir, path.substr(0, dir.size()));
}
