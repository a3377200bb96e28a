#include "config/startup_loader.h"

#include <wininet.h>

#include <cstdio>
#include <thread>

#include "app/data_folder.h"
#include "app/files.h"
#include "config/image_type.h"
#include "config/serverlist_sources.h"
#include "endpoints.h"
#include "net/http.h"
#include "net/text.h"

namespace {

std::wstring ExeFolder() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring p = self;
  size_t slash = p.find_last_of(L'\\');
  return slash == std::wstring::npos ? L"." : p.substr(0, slash);
}

bool Abandoned(StartupLoad& load) {
  std::lock_guard<std::mutex> hold(load.lock);
  return load.abandoned;
}

}  // namespace

std::wstring DownloadBackground(const std::string& url, const std::wstring& cacheFolder, StartupLoad* load) {
  const std::wstring base = cacheFolder + L"\\wow_bg";
  const std::wstring tmp = base + L".dat";
  OpenedUrl opened;
  // During start-up there is no window to warn; nothing is posted.
  if (!OpenUrl(url, nullptr, {30000, 0, 30000}, &opened)) return {};
  FILE* f = _wfopen(tmp.c_str(), L"wb");
  if (!f) return {};
  size_t total = 0;
  char chunk[8192];
  for (;;) {
    DWORD got = 0;
    if (!InternetReadFile(opened.request.get(), chunk, sizeof chunk, &got) || got == 0) break;
    std::fwrite(chunk, 1, got, f);
    total += got;
    if (total >= kBackgroundMaxBytes) break;
  }
  std::fclose(f);
  // Whatever body arrived is judged by its first bytes, not by the status.
  ImageKind type = ImageKind::None;
  if (FILE* in = _wfopen(tmp.c_str(), L"rb")) {
    unsigned char head[12];
    size_t n = std::fread(head, 1, sizeof head, in);
    std::fclose(in);
    type = SniffImageType(head, n);
  }
  // Held while the final name changes: a window that went on without the
  // loader may be reading the cached image it found there.
  std::unique_lock<std::mutex> hold;
  if (load) hold = std::unique_lock<std::mutex>(load->lock);
  if (type == ImageKind::None || total < kBackgroundMinBytes || (load && load->abandoned)) {
    DeleteFileW(tmp.c_str());
    return {};
  }
  std::wstring final = base + Utf8ToWide(ImageExtension(type));
  DeleteFileW(final.c_str());
  if (!MoveFileW(tmp.c_str(), final.c_str())) {
    DeleteFileW(tmp.c_str());
    return {};
  }
  return final;
}

std::wstring FindCachedBackground(const std::wstring& folder) {
  for (const wchar_t* ext : {L".jpg", L".png", L".webp"}) {
    std::wstring p = folder + L"\\wow_bg" + ext;
    if (FileExists(p)) return p;
  }
  return {};
}

std::wstring FindAnyCachedBackground() {
  const std::wstring cache = LauncherDataFolderPath();
  std::wstring found = cache.empty() ? std::wstring() : FindCachedBackground(cache);
  return found.empty() ? FindCachedBackground(ExeFolder()) : found;
}

void RunStartupLoad(StartupLoad& load) {
  std::wstring background;
  std::string list;
  const std::wstring cache = LauncherDataFolder();
  if (!cache.empty()) {
    background = DownloadBackground(kBackgroundImageUrl, cache, &load);
    if (background.empty()) background = FindCachedBackground(cache);
    if (background.empty()) background = FindCachedBackground(ExeFolder());
  }
  // A loader the window no longer waits for fetches nothing more.
  if (!Abandoned(load)) list = FetchUsableServerList();
  std::lock_guard<std::mutex> hold(load.lock);
  load.backgroundPath = std::move(background);
  load.siteList = std::move(list);
  load.done = true;
  SetEvent(load.doneEvent);
}

bool StartStartupLoader(const std::shared_ptr<StartupLoad>& load) {
  if (!load->doneEvent) return false;
  try {
    // Detached: the window's thread may go on without it. The thread holds
    // the record, so a late end finds it alive.
    std::thread([load] {
      try {
        RunStartupLoad(*load);
      } catch (...) {
        std::lock_guard<std::mutex> hold(load->lock);
        load->done = true;
        SetEvent(load->doneEvent);
      }
    }).detach();
  } catch (...) {
    return false;
  }
  return true;
}

bool AbandonStartupLoad(StartupLoad& load) {
  std::lock_guard<std::mutex> hold(load.lock);
  if (load.done) return false;
  load.abandoned = true;
  return true;
}
