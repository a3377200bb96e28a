#include "install/self_update_win.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "app/files.h"
#include "app/jobs.h"
#include "app/log.h"
#include "config/settings.h"
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

#include <bcrypt.h>

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
// A read-only one (the exe came from a zip or a disc, or the player marked
// it) made writable first; a scanner may hold it for a while.
void DeleteOldWhenFree(std::wstring old) {
  if (!DeleteFileRetrying(old, 30000))
    LogWrite("LauncherUpdate: cannot delete %ls, error=%lu", old.c_str(), GetLastError());
}

// The new version has shown its window and read a signed feed: the .old
// it replaced is no longer needed to bring a launcher back.
void EndTrial(const SelfUpdatePaths& p) {
  const bool onTrial = !ReadLauncherSetting(L"LauncherTrial").empty();
  if (p.runningAsOld || (!onTrial && !FileExists(p.oldExe))) return;
  TestStopPoint("proved", 0);
  SaveLauncherSetting(L"LauncherTrial", "");
  if (FileExists(p.oldExe)) {
    LogWrite("LauncherUpdate: %s has shown its window and read its feed, %ls removed", kLauncherVersion,
             p.oldExe.c_str());
    DeleteOldWhenFree(p.oldExe);
  }
}

// A verdict reached through a signed feed that this launcher could read.
bool FeedWasRead(FeedVerdict v) {
  return v != FeedVerdict::kNoFeed && v != FeedVerdict::kUnsigned && v != FeedVerdict::kUnreadable;
}

void CheckFeed(HWND window) {
  auto offer = std::make_unique<LauncherOffer>();
  offer->feedUrl = LauncherFeedUrl(kSiteBaseUrl);
  const SelfUpdatePaths paths = CurrentPaths();
  const FeedVerdict verdict = CheckLauncherFeed(offer->feedUrl, paths, &offer->feed);
  if (FeedWasRead(verdict)) EndTrial(paths);
  if (verdict != FeedVerdict::kOffer) return;
  if (IsWindow(window) && PostMessageW(window, WMU_LAUNCHER_OFFER, 0, reinterpret_cast<LPARAM>(offer.get())))
    offer.release();
}

// The launcher's own number for staged releases, drawn once and kept.
int RolloutNumber() {
  int n = 0;
  if (ParseRolloutNumber(ReadLauncherSetting(L"LauncherRolloutNumber"), &n)) return n;
  std::uint32_t r = 0;
  if (!BCRYPT_SUCCESS(
          BCryptGenRandom(nullptr, reinterpret_cast<UCHAR*>(&r), sizeof r, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    r = GetTickCount() ^ GetCurrentProcessId();
  n = static_cast<int>(r % 100);
  SaveLauncherSetting(L"LauncherRolloutNumber", std::to_string(n));
  return n;
}

// The exe's length as the site announces it, asked for with its first byte
// only: an offer of an exe the feed misdescribes would end, after the
// download, in a failure. 0 when the site does not say.
std::uint64_t ServedSize(const std::string& url) {
  OpenedUrl opened;
  if (!OpenUrl(url, "Range: bytes=0-0", {30000, 0, 30000}, &opened)) return 0;
  const DWORD status = QueryStatusCode(opened.request.get());
  std::string length;
  if (status == 200) {
    length = QueryHeader(opened.request.get(), HTTP_QUERY_CONTENT_LENGTH, 32);
  } else if (status == 206) {
    const std::string range = QueryHeader(opened.request.get(), HTTP_QUERY_CONTENT_RANGE, 96);
    if (range.find('/') != std::string::npos) length = range.substr(range.find('/') + 1);
  }
  std::uint64_t n = 0;
  for (char c : length) {
    if (c < '0' || c > '9' || n > kLauncherFeedMaxExeBytes) return 0;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return n;
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
  // An .old that a read-only attribute or a scanner kept from an earlier
  // swap must not block this one: the rename below cannot replace it.
  if (!DeleteFileRetrying(p.oldExe, 5000)) {
    LogWrite("LauncherUpdate: cannot delete %ls, error=%lu", p.oldExe.c_str(), GetLastError());
    return false;
  }
  if (!MoveWithRetry(p.exe, p.oldExe, 5000)) {
    LogWrite("LauncherUpdate: cannot set %ls aside, error=%lu", p.exe.c_str(), GetLastError());
    return false;
  }
  TestStopPoint("swap", 1);
  if (MoveWithRetry(p.newExe, p.exe, 5000)) {
    TestStopPoint("swap", 2);
    return true;
  }
  LogWrite("LauncherUpdate: cannot put the new exe in place, error=%lu", GetLastError());
  MoveWithRetry(p.oldExe, p.exe, 5000);
  return false;
}

// The .new checked: the swap, its record removed once the .new is gone.
bool SwapChecked(const LauncherFeed& feed, const SelfUpdatePaths& p) {
  TestStopPoint("swap", 0);
  // Counted before the exit's flag is read: the exit then waits for the
  // renames, or this sees the flag and leaves the checked .new for the next
  // offer (the exit sets the flag before it reads the count).
  FilesInTransit.fetch_add(1);
  if (LauncherUpdateCancel.load()) {
    FilesInTransit.fetch_sub(1);
    LogWrite("LauncherUpdate: the launcher is closing, the swap waits for the next start");
    return false;
  }
  const bool swapped = Swap(p);
  DeletePendingNew(p);
  FilesInTransit.fetch_sub(1);
  if (!swapped) return false;
  // The new exe's trial starts at its first start, whatever an earlier
  // trial (one a stop cut short) left on record.
  SaveLauncherSetting(L"LauncherTrial", "");
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
  const std::string refused = ReadLauncherSetting(L"LauncherRefused");
  facts.refusedVersion = refused;
  ParsePartInfo(ReadLauncherSetting(L"LauncherBadExe"), &facts.knownBad);
  facts.rolloutNumber = RolloutNumber();
  FeedVerdict verdict = JudgeFeed(facts, feed);
  if (verdict == FeedVerdict::kOffer) {
    facts.servedSize = ServedSize(feed->url);
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
    // Asked again at every start, the player would download it again and
    // again: this feed is not offered here until it changes.
    SaveLauncherSetting(L"LauncherBadExe", PartInfoText(feed));
    LogWrite("LauncherUpdate: size or SHA-256 differs from the feed: %s", r.url.c_str());
    return false;
  }
  return SwapChecked(feed, p);
}

namespace {

// The version on trial did not get to its window and feed twice: the
// previous launcher goes back in place. False, with the exe as it was,
// when a rename fails.
bool RollBack(const SelfUpdatePaths& p) {
  const std::wstring refused = p.exe + kRefusedExeSuffix;
  if (!DeleteFileRetrying(refused, 5000) || !MoveWithRetry(p.exe, refused, 5000)) return false;
  TestStopPoint("rollback", 1);
  if (!MoveWithRetry(p.oldExe, p.exe, 5000)) {
    MoveWithRetry(refused, p.exe, 5000);
    return false;
  }
  SaveLauncherSetting(L"LauncherRefused", kLauncherVersion);
  SaveLauncherSetting(L"LauncherRolledBack", kLauncherVersion);
  SaveLauncherSetting(L"LauncherTrial", "");
  LogWrite(
      "LauncherUpdate: %s did not reach its window and feed in %d starts, the previous launcher is back in "
      "place",
      kLauncherVersion, kTrialStarts);
  return true;
}

}  // namespace

bool TidyLauncherSwap() {
  const SelfUpdatePaths p = CurrentPaths();
  // What a rollback set aside, held until its process ended.
  if (FileExists(p.exe + kRefusedExeSuffix)) TrySpawnDetached(DeleteOldWhenFree, p.exe + kRefusedExeSuffix);
  switch (DecideStartupSwap(FileExists(p.exe), FileExists(p.oldExe), p.runningAsOld)) {
    case StartupSwapStep::kNothing: return false;
    case StartupSwapStep::kRestoreOld:
      // A running image may be renamed, also this process's own.
      if (MoveWithRetry(p.oldExe, p.exe, 5000))
        LogWrite("LauncherUpdate: an interrupted swap undone, %ls back in place", p.exe.c_str());
      else
        LogWrite("LauncherUpdate: cannot put %ls back, error=%lu", p.exe.c_str(), GetLastError());
      return false;
    case StartupSwapStep::kDeleteOld: break;
  }
  LauncherTrial recorded, next;
  ParseTrial(ReadLauncherSetting(L"LauncherTrial"), &recorded);
  if (DecideTrial(recorded, kLauncherVersion, &next) == TrialStep::kRollBack) {
    if (RollBack(p)) return true;
    LogWrite("LauncherUpdate: cannot put %ls back in place, error=%lu", p.oldExe.c_str(), GetLastError());
    return false;
  }
  TestStopPoint("tidy", 0);
  SaveLauncherSetting(L"LauncherTrial", TrialText(next));
  LogWrite("LauncherUpdate: %s on trial, start %d of %d, %ls kept", kLauncherVersion, next.starts, kTrialStarts,
           p.oldExe.c_str());
#if defined(REALMPORTER_TEST_HOOKS)
  // A release that dies before its window, for the tests of the trial.
  if (const char* v = std::getenv("REALMPORTER_TEST_CRASH_VERSION"); v && std::strcmp(v, kLauncherVersion) == 0)
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
#endif
  return false;
}

std::string TakeLauncherRollBack() {
  const std::string version = ReadLauncherSetting(L"LauncherRolledBack");
  if (!version.empty()) SaveLauncherSetting(L"LauncherRolledBack", "");
  return version;
}

void StartLauncherUpdateCheck(HWND window) {
  // A launcher without a key reads no feed: its window is all it can show.
  if (!OperatorKeysBuiltIn()) return EndTrial(CurrentPaths());
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

void LogLauncherStart() {
  LogWrite("RealmPorter %s started: %ls", kLauncherVersion, RunningModule().c_str());
  LogWrite("%s", kEndpointsRecord);
}
