#include "install/self_update_win.h"

#include <memory>
#include <vector>

#include "app/files.h"
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
  return FetchSmallDocument(url, {30000, 0, 30000}, limit, body).ok();
}

// Whether the exe's folder takes the download's file: the player may run
// the launcher from a folder of Program Files. A file made here stays only
// when `keep` says so; one that is there (a download to continue) is opened
// as it is.
bool TakesNewExe(const std::wstring& path, bool keep) {
  const bool there = FileExists(path);
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, there ? OPEN_EXISTING : CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | (keep || there ? 0 : FILE_FLAG_DELETE_ON_CLOSE), nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  CloseHandle(f);
  return true;
}

// A file of at most `limit` bytes; false when it is missing or longer.
bool ReadSmallFile(const std::wstring& path, DWORD limit, std::string* out) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  out->resize(limit + 1);
  DWORD got = 0;
  const bool ok = ReadFile(f, out->data(), limit + 1, &got, nullptr) && got <= limit;
  CloseHandle(f);
  out->resize(got);
  return ok;
}

std::wstring PartInfoPath(const SelfUpdatePaths& p) { return p.newExe + kPartInfoSuffix; }

PendingNew FindPendingNew(const SelfUpdatePaths& p) {
  PendingNew pending;
  WIN32_FILE_ATTRIBUTE_DATA a;
  pending.exists = GetFileAttributesExW(p.newExe.c_str(), GetFileExInfoStandard, &a) &&
                   !(a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  if (pending.exists) pending.size = (static_cast<std::uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
  std::string text;
  pending.recordRead = ReadSmallFile(PartInfoPath(p), 128, &text) && ParsePartInfo(text, &pending.record);
  return pending;
}

void DeletePendingNew(const SelfUpdatePaths& p) {
  DeleteFileW(p.newExe.c_str());
  DeleteFileW(PartInfoPath(p).c_str());
}

// Written through before the .new's first byte: a .new whose record a stop
// cut short is started over, never continued as another exe.
bool WritePartInfo(const SelfUpdatePaths& p, const LauncherFeed& feed) {
  const std::string text = PartInfoText(feed);
  HANDLE f = CreateFileW(PartInfoPath(p).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  const bool ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) && put == text.size();
  CloseHandle(f);
  return ok;
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
  if (CheckLauncherFeed(offer->feedUrl, paths, &offer->feed) != FeedVerdict::kOffer) return;
  if (IsWindow(window) && PostMessageW(window, WMU_LAUNCHER_OFFER, 0, reinterpret_cast<LPARAM>(offer.get())))
    offer.release();
}

// `streamed`: the digest taken as the bytes arrived, null for a .new that
// an earlier run finished.
bool CheckDownload(const std::wstring& path, const LauncherFeed& feed, const std::string* streamed) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return false;
  const std::uint64_t size = (static_cast<std::uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
  // Hashed again from the disk: what is swapped in is what lies there.
  std::string onDisk;
  return (!streamed || DownloadMatchesFeed(size, *streamed, feed)) && Sha256HexOfFile(path, &onDisk) &&
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

// The .new checked: the swap, its record removed once the .new is gone.
bool SwapChecked(const LauncherFeed& feed, const SelfUpdatePaths& p) {
  TestStopPoint("swap", 0);
  const bool swapped = Swap(p);
  DeletePendingNew(p);
  if (!swapped) return false;
  LogWrite("LauncherUpdate: %s in place of %s", FormatLauncherVersion(feed.version).c_str(), kLauncherVersion);
  return true;
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
  // A download that a stop cut short waits for the next offer of its exe.
  if (!KeepPendingNew(verdict, *feed, FindPendingNew(paths))) DeletePendingNew(paths);
  return verdict;
}

bool DownloadAndSwapLauncher(HWND window, const LauncherFeed& feed, const SelfUpdatePaths& p) {
  const PendingNew pending = FindPendingNew(p);
  PendingNewUse use = DecidePendingNew(pending, feed);
  if (use == PendingNewUse::kCheckWhole && !CheckDownload(p.newExe, feed, nullptr)) {
    LogWrite("LauncherUpdate: %ls is not the offered exe, downloading it again", p.newExe.c_str());
    use = PendingNewUse::kStartOver;
  }
  if (use == PendingNewUse::kStartOver) DeletePendingNew(p);
  // The folder may have changed since the offer.
  if (!TakesNewExe(p.newExe, true) || (use == PendingNewUse::kStartOver && !WritePartInfo(p, feed))) {
    LogWrite("LauncherUpdate: folder not writable: %ls, error=%lu", p.newExe.c_str(), GetLastError());
    // A download to continue stays for a later offer; a fresh one is gone.
    if (use == PendingNewUse::kStartOver) DeletePendingNew(p);
    return false;
  }
  if (use == PendingNewUse::kCheckWhole) return SwapChecked(feed, p);
  std::string sha256;
  DownloadRequest r;
  r.window = window;
  r.target = p.newExe;
  r.url = feed.url;
  r.label = Gbk(u8"正在下载新版登录器...");
  r.cancel = &LauncherUpdateCancel;
  r.sha256Out = &sha256;
  r.expectedSize = feed.size;
  if (use == PendingNewUse::kResume && pending.size > 0) {
    r.resumeFrom = pending.size;
    LogWrite("LauncherUpdate: continuing the download at %llu of %llu bytes",
             static_cast<unsigned long long>(pending.size), static_cast<unsigned long long>(feed.size));
  }
  if (!DownloadFile(r)) {
    // What arrived is kept for the next offer of this exe while it may
    // still be its start.
    if (DecidePendingNew(FindPendingNew(p), feed) != PendingNewUse::kResume) DeletePendingNew(p);
    LogWrite("LauncherUpdate: download failed: %s", r.url.c_str());
    return false;
  }
  if (!CheckDownload(p.newExe, feed, &sha256)) {
    DeletePendingNew(p);
    LogWrite("LauncherUpdate: size or SHA-256 differs from the feed: %s", r.url.c_str());
    return false;
  }
  return SwapChecked(feed, p);
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
