#pragma once
// The start-up loader: fetches the background image and the server list
// behind the splash. The window's thread waits for it only until a deadline;
// a site that accepts the connection and never answers (Wine's WinINet does
// not time out a stalled TLS handshake) must not keep the player waiting.
#include <windows.h>

#include <memory>
#include <mutex>
#include <string>

// What a stalled site may cost before the window shows.
inline constexpr DWORD kStartupLoadDeadlineMs = 15000;

// Shared by the loader and the window's thread, and held by both: the window
// may go on without the loader, which then runs on into the window's life.
// The window's thread reads the results only when it found `done` set under
// the lock; a loader that finds `abandoned` set stores nothing (no background
// file renamed under the window's feet) and its results are never read.
struct StartupLoad {
  std::mutex lock;
  bool done = false;
  bool abandoned = false;
  std::wstring backgroundPath;  // the image chosen; empty = none
  std::string siteList;         // the site's list when usable; empty = none
  HANDLE doneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  StartupLoad() = default;
  StartupLoad(const StartupLoad&) = delete;
  StartupLoad& operator=(const StartupLoad&) = delete;
  ~StartupLoad() {
    if (doneEvent) CloseHandle(doneEvent);
  }
};

// Starts the loader on a detached thread; false when no thread could start.
bool StartStartupLoader(const std::shared_ptr<StartupLoad>& load);
// The loader's body: the background into the cache folder (else an earlier
// cached or shipped one), then the site's server list. Sets `done` and the
// event at its end.
void RunStartupLoad(StartupLoad& load);
// The window's thread goes on without the loader: true when the loader had
// not finished (its results will never be read), false when it had (they
// are final and may be read).
bool AbandonStartupLoad(StartupLoad& load);

// Downloads the background into `cacheFolder` as wow_bg.<type>; returns the
// stored path or empty. With `load`, nothing is stored once the window's
// thread went on without the loader. Exposed for the tests.
std::wstring DownloadBackground(const std::string& url, const std::wstring& cacheFolder, StartupLoad* load = nullptr);
// The first of wow_bg.jpg, .png, .webp in the folder, or empty.
std::wstring FindCachedBackground(const std::wstring& folder);
// What the window uses when it goes on without the loader: a cached or
// shipped background, looked for on the window's thread.
std::wstring FindAnyCachedBackground();
