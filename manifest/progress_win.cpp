#include <windows.h>

#include <cstdio>

#include "manifest/client_manifest.h"
#include "manifest/install_paths.h"
#include "manifest/progress.h"
#include "net/text.h"

std::wstring ProgressFilePath(const std::wstring& saveFolder, const std::string& product) {
  std::wstring progressDir = JoinPath(saveFolder, L".ravelgap\\progress");
  CreateDirectoryW(JoinPath(saveFolder, L".ravelgap").c_str(), nullptr);
  CreateDirectoryW(progressDir.c_str(), nullptr);
  return JoinPath(progressDir, Utf8ToWide(product) + L".json");
}

bool LoadProgress(const std::wstring& path, const ClientManifest& manifest, const std::wstring& saveFolder,
                  ProgressState* state) {
  state->product = manifest.product;
  state->manifest_id = manifest.manifest_id;
  state->install_root = manifest.install_root;
  state->install_dir = saveFolder;
  state->files.clear();

  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return false;
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);

  ProgressDocument doc;
  if (!ParseProgressText(text, &doc)) return false;
  if (doc.product != state->product || doc.manifest_id != state->manifest_id) return false;
  if (!doc.install_dir.empty()) {
    std::wstring dir = Utf8ToWide(doc.install_dir);
    if (CompareStringOrdinal(dir.c_str(), static_cast<int>(dir.size()), saveFolder.c_str(),
                             static_cast<int>(saveFolder.size()), TRUE) != CSTR_EQUAL)
      return false;
  }
  state->files = std::move(doc.files);
  return true;
}

bool SaveProgress(const std::wstring& path, const ProgressState& state) {
  return WriteProgressText(path, FormatProgressText(state, WideToUtf8(state.install_dir)));
}

bool WriteProgressText(const std::wstring& path, const std::string& text) {
  std::wstring tmp = path + L".tmp";
  FILE* f = _wfopen(tmp.c_str(), L"wb");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fflush(f) == 0) && ok;
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || !MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(tmp.c_str());
    return false;
  }
  return true;
}
