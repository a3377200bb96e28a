#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "config/serverlist.h"
#include "game/game.h"
#include "game/gamedir.h"
#include "game/realmfile.h"

void WriteRealmConfig(const ServerEntry* entry, const std::wstring& gamePath) {
  if (!IsValidGamePath(gamePath) || !entry) return;
  std::string text;
  if (!BuildRealmConfigText(entry->realm, entry->patch, &text)) return;
  std::wstring file = GameFolderOf(gamePath) + L"\\Data\\zhCN\\realmlist.wtf";
  if (file.size() >= MAX_PATH) return;
  // Text mode: every LF is stored as CR LF, which the client expects.
  FILE* f = _wfopen(file.c_str(), L"w");
  if (!f) return;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

bool DeleteWithShell(const std::wstring& path) {
  std::wstring list = path;
  list.push_back(L'\0');  // a list of one name, ended by two NULs
  SHFILEOPSTRUCTW op = {};
  op.wFunc = FO_DELETE;
  op.pFrom = list.c_str();
  op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
  return SHFileOperationW(&op) == 0 && !op.fAnyOperationsAborted;
}

void RemoveClientCache(const std::wstring& gamePath) {
  if (!IsValidGamePath(gamePath)) return;
  std::wstring folder = GameFolderOf(gamePath) + L"\\Cache";
  if (folder.size() + 2 > 262) return;
  DeleteWithShell(folder);
}

namespace {

void RemoveIfPresent(const std::wstring& file) {
  if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(file.c_str());
}

}  // namespace

void RemoveStalePatches(const std::wstring& gamePath) {
  if (!IsValidGamePath(gamePath)) return;
  std::wstring folder = GameFolderOf(gamePath);
  for (const char* c = kStaleDataPatchChars; *c; ++c)
    RemoveIfPresent(folder + L"\\Data\\patch-" + wchar_t(*c) + L".MPQ");
  for (const char* c = kStaleLocalePatchChars; *c; ++c)
    RemoveIfPresent(folder + L"\\Data\\zhCN\\patch-zhCN-" + wchar_t(*c) + L".MPQ");
}
