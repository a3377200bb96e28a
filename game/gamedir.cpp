#include "game/gamedir.h"

#include "net/ascii.h"

namespace {

size_t LastSeparator(std::wstring_view path) { return path.find_last_of(L"\\/"); }

}  // namespace

bool IsValidGamePath(std::wstring_view path) {
  if (path.empty()) return false;
  size_t sep = LastSeparator(path);
  std::wstring_view name = sep == std::wstring_view::npos ? path : path.substr(sep + 1);
  if (!EqualsIgnoreAsciiCase(name, std::wstring_view(L"Wow.exe"))) return false;
  if (sep == std::wstring_view::npos) return false;
  std::wstring_view folder = path.substr(0, sep);
  if (folder.size() <= 3) return false;
  if (folder[1] != L':') return false;
  for (size_t i = 2; i < folder.size(); ++i) {
    wchar_t c = folder[i];
    if (c < 0x20 || c == L'"' || c == L'*' || c == L'<' || c == L'>' || c == L'?' || c == L'|') return false;
  }
  return true;
}

std::wstring GameFolderOf(std::wstring_view gamePath) {
  // The same separators as IsValidGamePath: with "C:\Games\Client/Wow.exe"
  // the folder the rule checked is the one every writer uses.
  size_t sep = LastSeparator(gamePath);
  if (sep == std::wstring_view::npos) {
    // "C:Wow.exe" keeps its drive; a bare name has no folder.
    if (gamePath.size() >= 2 && gamePath[1] == L':') return std::wstring(gamePath.substr(0, 2));
    return {};
  }
  // The root's separator stays: "C:\Wow.exe" -> "C:\", "\Wow.exe" -> "\".
  if (sep == 0 || (sep == 2 && gamePath[1] == L':')) return std::wstring(gamePath.substr(0, sep + 1));
  return std::wstring(gamePath.substr(0, sep));
}
