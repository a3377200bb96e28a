#include "install/self_update_win.h"

#include <wininet.h>

#include <memory>
#include <vector>

#include "app/jobs.h"
#include "app/log.h"
#include "app/messages.h"
#include "endpoints.h"
#include "hash/sha256.h"
#include "install/self_update.h"
#include "install/transaction.h"
#include "manifest/signature_win.h"
#include "net/download.h"
#include "net/http.h"
#include "net/text.h"
#include "version.h"

std::atomic<bool> LauncherUpdateBusy{false}, LauncherUpdateCancel{false}, LauncherRestartWanted{false};

namespace {

bool FileExists(const std::wstring& p) {
  DWORD a = GetFileAttributesW(p.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring RunningModule() {
  std::vector<wchar_t> buf(MAX_PATH);
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return std::wstring(buf.data(), n);
    buf.resize(buf.size() * 2);
  }
}

SelfUpdatePaths CurrentPaths() { return PathsForRunningExe(RunningModule()); }

// A small document with the server list's time-outs; nothing logged, the
// caller writes the one line.
bool FetchSmall(const std::string& url, size_t limit, std::string* body) {
  OpenedUrl opened;
  if (!OpenUrl(url, nullptr, {30000, 0, 30000}, &opened)) return false;
  if (QueryStatusCode(opened.request.get()) != 200) return false;
  char chunk[1024];
  for (;;) {
    DWORD got = 0;
    if (!InternetReadFile(opened.request.get(), chunk, sizeof chunk, &got)) return false;
    if (got == 0) return true;
    if (body->size() + got > limit) return false;
    body->append(chunk, got);
  }
}

// Whether the exe's folder takes the download's file: the player may run
// the launcher from a folder of Program Files. The file stays only when
// `keep` says so.
bool TakesNewExe(const std::wstring& path, bool keep) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | (keep ? 0 : FILE_FLAG_DELETE_ON_CLOSE), nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  CloseHandle(f);
  return true;
}

// The .old of a swap that finished, held by the old process until it ends.
void DeleteOldWhenFree(std::wstring old) {
  for (int i = 0; i < 120; ++i) {
    if (DeleteFileW(old.c_str()) || !FileExists(old)) return;
    Sleep(250);
  }
  LogWrite("LauncherUpdate: cannot delete %ls, error=%lu", old.c_str(), GetLastError());
}

void CheckFeed(HWND window) {
  auto offer = std::make_unique<LauncherOffer>();
  offer->feedUrl = LauncherFeedUrl(kSiteBaseUrl);
  const SelfUpdatePaths paths = CurrentPaths();
  if (CheckLauncherFeed(offer->feedUrl, paths, &offer->feed) != FeedVerdict::kOffer) {
    // A download that a stop cut short, or that the feed no longer offers.
    DeleteFileW(paths.newExe.c_str());
    return;
  }
  if (IsWindow(window) && PostMessageW(window, WMU_LAUNCHER_OFFER, 0, reinterpret_cast<LPARAM>(offer.get())))
    offer.release();
}

bool CheckDownload(const std::wstring& path, const LauncherFeed& feed, const std::string& sha256) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return false;
  const std::uint64_t size = (static_cast<std::uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
  // Hashed again from the disk: what is swapped in is what lies there.
  std::string onDisk;
  return DownloadMatchesFeed(size, sha256, feed) && Sha256HexOfFile(path, &onDisk) &&
         DownloadMatchesFeed(size, onDisk, feed);
}

// Steps 2 and 3 of the swap; the exe as it was when either fails.
bool Swap(const SelfUpdatePaths& p) {
  FilesInTransit.fetch_add(1);
  bool ok = false;
  DeleteFileW(p.oldExe.c_str());
  if (!MoveFileExW(p.exe.c_str(), p.oldExe.c_str(), MOVEFILE_WRITE_THROUGH)) {
    LogWrite("LauncherUpdate: cannot set %ls aside, error=%lu", p.exe.c_str(), GetLastError());
  } else {
    TestStopPoint("swap", 1);
    if (MoveFileExW(p.newExe.c_str(), p.exe.c_str(), MOVEFILE_WRITE_THROUGH)) {
      ok = true;
      TestStopPoint("swap", 2);
    } else {
      LogWrite("LauncherUpdate: cannot put the new exe in place, error=%lu", GetLastError());
      MoveFileExW(p.oldExe.c_str(), p.exe.c_str(), MOVEFILE_WRITE_THROUGH);
    }
  }
  FilesInTransit.fetch_sub(1);
  return ok;
}

}  // namespace

FeedVerdict CheckLauncherFeed(const std::string& url, const SelfUpdatePaths& paths, LauncherFeed* feed) {
  std::string feedText, sigText;
  FeedFacts facts;
  facts.fetched = FetchSmall(url, kLauncherFeedMaxBytes, &feedText);
  if (facts.fetched && FetchSmall(url + kSignatureSuffix, kSignatureFileLimit, &sigText)) {
    std::string hex;
    Sha256Digest digest;
    facts.signedByKey = Sha256HexOfString(feedText, &hex) && DigestFromHex(hex, &digest) &&
                        SignatureVerifies(sigText, digest, kOperatorKeys);
  }
  facts.feedText = feedText;
  facts.runningVersion = kLauncherVersion;
  FeedVerdict verdict = JudgeFeed(facts, feed);
  if (verdict == FeedVerdict::kOffer) {
    facts.folderWritable = TakesNewExe(paths.newExe, false);
    verdict = JudgeFeed(facts, feed);
  }
  LogWrite("%s", FeedVerdictLogLine(verdict, url, *feed, kLauncherVersion).c_str());
  return verdict;
}

bool DownloadAndSwapLauncher(HWND window, const LauncherFeed& feed, const SelfUpdatePaths& p) {
  // The folder may have changed since the offer.
  if (!TakesNewExe(p.newExe, true)) {
    LogWrite("LauncherUpdate: folder not writable: %ls, error=%lu", p.newExe.c_str(), GetLastError());
    return false;
  }
  std::string sha256;
  DownloadRequest r;
  r.window = window;
  r.target = p.newExe;
  r.url = feed.url;
  r.label = Gbk(u8"正在下载新版登录器...");
  r.cancel = &LauncherUpdateCancel;
  r.sha256Out = &sha256;
  r.expectedSize = feed.size;
  if (!DownloadFile(r)) {
    DeleteFileW(p.newExe.c_str());
    LogWrite("LauncherUpdate: download failed: %s", r.url.c_str());
    return false;
  }
  if (!CheckDownload(p.newExe, feed, sha256)) {
    DeleteFileW(p.newExe.c_str());
    LogWrite("LauncherUpdate: size or SHA-256 differs from the feed: %s", r.url.c_str());
    return false;
  }
  TestStopPoint("swap", 0);
  if (!Swap(p)) {
    DeleteFileW(p.newExe.c_str());
    return false;
  }
  LogWrite("LauncherUpdate: %s in place of %s", FormatLauncherVersion(feed.version).c_str(), kLauncherVersion);
  return true;
}

void TidyLauncherSwap() {
  const SelfUpdatePaths p = CurrentPaths();
  switch (DecideStartupSwap(FileExists(p.exe), FileExists(p.oldExe), p.runningAsOld)) {
    case StartupSwapStep::kNothing: return;
    case StartupSwapStep::kRestoreOld:
      // A running image may be renamed, also this process's own.
      if (MoveFileExW(p.oldExe.c_str(), p.exe.c_str(), MOVEFILE_WRITE_THROUGH))
        LogWrite("LauncherUpdate: an interrupted swap undone, %ls back in place", p.exe.c_str());
      else
        LogWrite("LauncherUpdate: cannot put %ls back, error=%lu", p.exe.c_str(), GetLastError());
      return;
    case StartupSwapStep::kDeleteOld:
      TestStopPoint("tidy", 0);
      if (DeleteFileW(p.oldExe.c_str())) return;
      TrySpawnDetached(DeleteOldWhenFree, p.oldExe);
      return;
  }
}

void StartLauncherUpdateCheck(HWND window) {
  if (!OperatorKeysBuiltIn()) return;
  TrySpawnDetached(CheckFeed, window);
}

bool StartLauncherUpdate(HWND window, const LauncherOffer& offer) {
  LauncherUpdateBusy.store(true);
  LauncherUpdateCancel.store(false);
  const bool started = TrySpawnDetached(
      [](HWND w, LauncherOffer o) {
        bool swapped = false;
        RunWorkerGuarded(
            "LauncherUpdate", [&] { swapped = DownloadAndSwapLauncher(w, o.feed, CurrentPaths()); }, [] {});
        LauncherUpdateBusy.store(false);
        if (IsWindow(w)) PostMessageW(w, WMU_LAUNCHER_READY, swapped ? 1 : 0, 0);
      },
      window, offer);
  if (!started) LauncherUpdateBusy.store(false);
  return started;
}

bool RestartLauncher() {
  const SelfUpdatePaths p = CurrentPaths();
  TestStopPoint("swap", 3);
  std::wstring commandLine = GetCommandLineW();
  commandLine.push_back(L'\0');
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(p.exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    LogWrite("LauncherUpdate: cannot start %ls, error=%lu", p.exe.c_str(), GetLastError());
    return false;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

void LogLauncherStart() { LogWrite("RealmPorter %s started: %ls", kLauncherVersion, RunningModule().c_str()); }
