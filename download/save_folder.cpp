#include "download/save_folder.h"

namespace {

constexpr unsigned long kErrorHandleDiskFull = 39, kErrorDiskFull = 112;

std::u8string U8(const std::string& s) { return std::u8string(s.begin(), s.end()); }

}  // namespace

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

std::wstring ChooseTypedFolder(const std::wstring& typed, const std::wstring& selected) {
  std::wstring t = typed;
  while (!t.empty() && (t.back() == L' ' || t.back() == L'\t')) t.pop_back();
  size_t lead = 0;
  while (lead < t.size() && (t[lead] == L' ' || t[lead] == L'\t')) ++lead;
  t.erase(0, lead);
  if (t.empty()) return selected;
  const bool drive =
      t.size() >= 2 && t[1] == L':' && ((t[0] >= L'A' && t[0] <= L'Z') || (t[0] >= L'a' && t[0] <= L'z'));
  const auto isSep = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (drive && t.size() == 2) return t + L'\\';
  if (drive) return isSep(t[2]) ? t : std::wstring();
  if (t.size() >= 2 && isSep(t[0]) && isSep(t[1])) return t;
  if (isSep(t[0]) || t.find(L':') != std::wstring::npos) return {};
  const std::wstring base = TrimSaveFolder(selected);
  if (base.empty()) return {};
  const size_t cut = base.find_last_of(L"\\/");
  if (t == (cut == std::wstring::npos ? base : base.substr(cut + 1))) return selected;
  return base + L'\\' + t;
}

std::u8string DiskWriteFailureText(const std::string& path, const std::string& drive, unsigned long windowsError) {
  if (windowsError != kErrorDiskFull && windowsError != kErrorHandleDiskFull) return u8"磁盘写入失败: " + U8(path);
  return u8"磁盘 " + U8(drive.empty() ? std::string("(?)") : drive) + u8" 空间已满，" + U8(path) +
         u8" 未能写完。\n\n已下载的部分都已保留。请清理出磁盘空间后再次点击下载按钮，下载会从中断处继续。";
}

std::wstring DriveOf(const std::wstring& path) {
  if (path.size() >= 2 && path[1] == L':') return path.substr(0, 2);
  if (path.size() > 2 && path[0] == L'\\' && path[1] == L'\\') {
    size_t server = path.find(L'\\', 2);
    if (server == std::wstring::npos) return path;
    size_t share = path.find(L'\\', server + 1);
    return path.substr(0, share);
  }
  return {};
}
