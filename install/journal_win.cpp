// How a job replaces the player's files as one step.
//
// The player's game folder must be, whenever the launcher stops (cancel,
// failure, exit, crash, Task Manager, power cut), either as it was before a
// job or as it is after it. A file system offers one atomic step for this: a
// rename within one volume. Everything else is built on it, in the manner of
// a database's rollback journal:
//
//  1. The new files are made first where the game does not look: an addon
//     pack is unpacked into a staging folder inside the game folder (same
//     volume, so that moving out of it is a rename), a patch archive is
//     downloaded beside the archive under the launcher's own name
//     (MakingName). Before that starts, the journal says "staging" and lists
//     what to remove. A stop here leaves the player's files untouched;
//     recovery removes the staging leftovers.
//  2. The commit is planned in full (every item to be replaced, where the
//     new one comes from and where the player's one is kept aside) and
//     written into the journal with the state "commit". The journal is
//     written to a temporary file, flushed to the disk (FlushFileBuffers)
//     and renamed over the old journal with MOVEFILE_WRITE_THROUGH: on disk
//     there is always one whole journal, old or new, never a torn one. Only
//     after that flush is the first of the player's files moved.
//  3. Each step is two renames, each written through: the player's item to
//     the aside folder (or SetAsideName), then the new item into its place. After
//     any rename the disk tells by itself how far a step got (which of the
//     three names exist), so the journal needs no update between renames.
//     Undoing a step is the same renames backwards (UndoStep). The aside
//     items are the player's own, kept whole until the commit is complete.
//  4. When every step is made, the new files are flushed to the disk
//     (a rename can reach the disk before the data of the file it names),
//     and the journal is rewritten with "done". That write is the commit
//     point: before it, recovery rolls back; after it, recovery only makes
//     the keeps (an aside item the player keeps, such as the replaced
//     `Interface`) and removes the staging and aside leftovers.
//  5. The journal is removed after the last leftover is gone.
//
// Recovery runs at the next start, before the window, and before the next
// job of the same kind: the journal's state says whether to discard staging,
// roll back or finish (RecoveryFor). Each of these actions may itself be
// stopped at any moment and simply runs again, because every action is
// chosen from what exists on disk now (UndoStep tells a step undone from one
// not begun). The journal names its folder and that folder's identity: a
// folder that is missing, or moved elsewhere, is never taken for one whose
// steps are all undone, and its journal is kept until the folder is found
// (RecoverJournal). A move that keeps failing (a file
// held open by a scanner or the game) leaves the journal in place; the job
// reports it to the player, and the next start or job finishes the work.
//
// Only one launcher runs per machine (the single-instance mutex, taken as
// held also when it cannot be opened), and recovery runs after that check:
// a second start never reads a journal that a running job is writing.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "app/files.h"
#include "app/jobs.h"
#include "app/kept_copies.h"
#include "app/log.h"
#include "game/game.h"
#include "install/transaction.h"
#include "manifest/install_paths.h"
#include "net/text.h"

namespace {

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool RemoveLeftover(const std::wstring& path) {
  for (int i = 0; i < 10 && Exists(path); ++i) {
    DWORD attr = GetFileAttributesW(path.c_str());
    if (attr & FILE_ATTRIBUTE_DIRECTORY) {
      DeleteWithShell(path);
    } else {
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(path.c_str());
    }
    if (Exists(path)) Sleep(100);
  }
  return !Exists(path);
}

// Counts the commits and rollbacks under way: the exit waits for them.
struct InTransit {
  InTransit() { FilesInTransit.fetch_add(1); }
  ~InTransit() { FilesInTransit.fetch_sub(1); }
};

// Recovery's own stop points for the tests (null outside recovery): one
// after each move and each removal it makes, so that a start stopped at its
// first point makes one change and the next start goes on from there.
void Reached(unsigned* point) {
  if (point) TestStopPoint("recover", (*point)++);
}

// Undoes the steps in reverse order; false (with the name) at the first
// move that fails, so that a later run starts again from the disk's state.
bool RollBack(const Journal& j, unsigned* point, std::wstring* stuck) {
  for (size_t i = j.steps.size(); i-- > 0;) {
    const JournalStep& s = j.steps[i];
    StepUndo u = UndoStep(s, Exists(s.from), Exists(s.to), !s.aside.empty() && Exists(s.aside));
    if (u.takeNewBack) {
      if (!CreateParentDirectories(s.from) || !MoveWithRetry(s.to, s.from)) return *stuck = s.to, false;
      if (point) LogWrite("Recovery: took back %ls", s.to.c_str());
      Reached(point);
    }
    if (u.putOldBack) {
      if (!MoveWithRetry(s.aside, s.to)) return *stuck = s.aside, false;
      if (point) LogWrite("Recovery: put back %ls", s.to.c_str());
      Reached(point);
    }
  }
  return true;
}

// The end of a finished commit: the keeps, then the leftovers. A keep that
// cannot be made stops it, so that the folder holding the player's copy
// is never removed.
bool FinishLeftovers(const Journal& j, bool keep, unsigned* point, std::wstring* stuck) {
  for (const JournalKeep& k : keep ? j.keep : std::vector<JournalKeep>()) {
    if (!Exists(k.from)) continue;
    if (Exists(k.to) || !CreateParentDirectories(k.to) || !MoveWithRetry(k.from, k.to)) return *stuck = k.from, false;
    LogWrite("Kept %ls as %ls", k.from.c_str(), k.to.c_str());
    Reached(point);
  }
  for (const std::wstring& r : j.remove) {
    const bool present = Exists(r);
    if (!RemoveLeftover(r)) return *stuck = r, false;
    if (!present) continue;
    if (point) LogWrite("Recovery: removed %ls", r.c_str());
    Reached(point);
  }
  return true;
}

// Writes a file, or every file below a folder, through to the disk.
void FlushItem(const std::wstring& path) {
  const DWORD attr = GetFileAttributesW(path.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return;
  if (attr & FILE_ATTRIBUTE_DIRECTORY) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
      if (std::wcscmp(fd.cFileName, L".") != 0 && std::wcscmp(fd.cFileName, L"..") != 0)
        FlushItem(path + L"\\" + fd.cFileName);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return;
  }
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE || !FlushFileBuffers(h))
    LogWrite("FlushFileBuffers failed (error %lu): %ls", GetLastError(), path.c_str());
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

bool ReadJournal(const std::wstring& path, Journal* j) {
  std::string text;
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return false;
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  std::fclose(f);
  return ParseJournal(Utf8ToWide(text), j);
}

// A folder as the journal names it: without a trailing backslash (but for
// a drive's root), so that the paths below it start with it and a '\\'.
std::wstring JournalFolderName(std::wstring folder) {
  while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
  return folder;
}

enum class Outcome { Clear, Stuck, FolderGone };

// One journal: finished (and removed), left for later (a file held), or not
// acted on because its folder is not there.
Outcome RecoverOne(const std::wstring& path, const std::wstring& gameFolder, std::wstring* stuck) {
  Journal j;
  if (!ReadJournal(path, &j)) {
    LogWrite("Recovery: unreadable journal kept: %ls", path.c_str());
    return Outcome::Stuck;
  }
  const std::wstring folder = JournalFolder(j);
  const std::wstring id = folder.empty() ? L"" : FolderIdentity(folder);
  // An identity that cannot be read is no proof of another folder.
  if (!folder.empty() && (!Exists(folder) || (!j.folderId.empty() && !id.empty() && id != j.folderId))) {
    if (j.folderId.empty() || gameFolder.empty() || FolderIdentity(gameFolder) != j.folderId) {
      LogWrite("Recovery: the folder of %ls is not there: %ls", path.c_str(), folder.c_str());
      return Outcome::FolderGone;
    }
    LogWrite("Recovery: the game folder was moved: %ls -> %ls", folder.c_str(), gameFolder.c_str());
    j = RebaseJournal(j, folder, JournalFolderName(gameFolder));
  }
  const Recovery what = RecoveryFor(j.state);
  LogWrite("Recovery: %s %ls",
           what == Recovery::Discard    ? "discarding an unfinished job of"
           : what == Recovery::RollBack ? "rolling back an interrupted commit of"
                                        : "finishing a completed commit of",
           path.c_str());
  unsigned point = 0;
  if (what == Recovery::RollBack && !RollBack(j, &point, stuck)) return Outcome::Stuck;
  if (!FinishLeftovers(j, what == Recovery::Finish, &point, stuck)) return Outcome::Stuck;
  DropJournal(path);
  LogWrite("Recovery: done: %ls", path.c_str());
  return Outcome::Clear;
}

std::wstring RepairLockName(const std::wstring& folderId) { return L"Local\\RealmPorter-repair-" + folderId; }

// True when another thread or process holds the repair lock of the folder
// with this identity. A lock this thread holds is taken again (a mutex
// counts its owner's waits) and given back at once.
bool HeldElsewhere(const std::wstring& folderId) {
  if (folderId.empty()) return false;
  HANDLE m = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, RepairLockName(folderId).c_str());
  if (!m) return false;
  const DWORD waited = WaitForSingleObject(m, 0);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) ReleaseMutex(m);
  CloseHandle(m);
  return waited == WAIT_TIMEOUT;
}

constexpr int kMostLost = 20;

std::wstring LostName(const std::wstring& path, int n) { return path + L".lost-" + std::to_wstring(n); }

// Moves a journal whose folder is gone to a free .lost-<n>, tried again by
// every recovery. With every one taken, the oldest of them (by the time its
// journal was written) goes further aside, as .lost-aside-<m>, which no
// recovery tries: kept for the player or support, never in the way of a job.
bool KeepLost(const std::wstring& path) {
  for (int round = 0; round < 2; ++round) {
    for (int n = 1; n <= kMostLost; ++n) {
      if (MoveFileExW(path.c_str(), LostName(path, n).c_str(), MOVEFILE_WRITE_THROUGH)) {
        LogWrite("Recovery: kept as %ls until its folder is found", LostName(path, n).c_str());
        return true;
      }
    }
    int oldest = 0;
    FILETIME oldestTime{};
    for (int n = 1; n <= kMostLost; ++n) {
      WIN32_FILE_ATTRIBUTE_DATA a;
      if (!GetFileAttributesExW(LostName(path, n).c_str(), GetFileExInfoStandard, &a)) continue;
      if (!oldest || CompareFileTime(&a.ftLastWriteTime, &oldestTime) < 0) oldest = n, oldestTime = a.ftLastWriteTime;
    }
    if (!oldest) return false;
    for (int m = 1;; ++m) {
      const std::wstring aside = path + L".lost-aside-" + std::to_wstring(m);
      if (Exists(aside)) continue;
      if (!MoveFileExW(LostName(path, oldest).c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) return false;
      LogWrite("Recovery: more than %d lost journals, the oldest kept as %ls", kMostLost, aside.c_str());
      break;
    }
  }
  return false;
}

}  // namespace

std::wstring JournalPathOf(JournalKind kind) {
  std::wstring dir = LauncherDataFolder();
  if (dir.empty()) return {};
  return dir + (kind == JournalKind::Addon ? L"\\addon.journal" : L"\\patch.journal");
}

std::wstring RepairJournalPath(const std::wstring& folder, int n) {
  std::wstring dir = LauncherDataFolder();
  if (dir.empty()) return {};
  const std::wstring id = folder.empty() ? std::wstring() : FolderIdentity(folder);
  return dir + L"\\repair-" + (id.empty() ? L"" : id + L"-") + std::to_wstring(n) + L".journal";
}

RepairLock::RepairLock(const std::wstring& folder) {
  const std::wstring id = FolderIdentity(folder);
  // A folder whose identity cannot be read has no journal of a repair
  // either: nothing to guard.
  if (id.empty()) {
    held = true;
    return;
  }
  HANDLE m = CreateMutexW(nullptr, FALSE, RepairLockName(id).c_str());
  if (!m) {
    LogWrite("RepairLock: CreateMutex failed (error %lu) for %ls", GetLastError(), folder.c_str());
    held = true;
    return;
  }
  const DWORD waited = WaitForSingleObject(m, 0);
  held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  if (!held) {
    CloseHandle(m);
    LogWrite("RepairLock: another repair of %ls is running", folder.c_str());
    return;
  }
  mutex = m;
}

RepairLock::~RepairLock() {
  if (!mutex) return;
  ReleaseMutex(static_cast<HANDLE>(mutex));
  CloseHandle(static_cast<HANDLE>(mutex));
}

bool RecoverRepairJournals(std::wstring* stuck, const std::wstring& gameFolder) {
  stuck->clear();
  const std::wstring dir = LauncherDataFolder();
  if (dir.empty()) return true;
  // The journals by their own names, also those only kept as .lost-<n>.
  std::vector<std::wstring> paths;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((dir + L"\\repair-*.journal*").c_str(), &fd);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      const size_t end = name.find(L".journal");
      if (end == std::wstring::npos || (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
      const std::wstring path = dir + L"\\" + name.substr(0, end + 8);
      if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
  }
  bool clear = true;
  for (const std::wstring& path : paths) {
    Journal j;
    if (Exists(path) && ReadJournal(path, &j) && HeldElsewhere(j.folderId)) {
      LogWrite("Recovery: %ls belongs to a repair that is running, left alone", path.c_str());
      continue;
    }
    std::wstring one;
    if (!RecoverJournal(path, &one, gameFolder)) {
      clear = false;
      if (stuck->empty()) *stuck = one;
    }
  }
  return clear;
}

bool WriteJournal(const std::wstring& path, const Journal& journal) {
  const std::string text = WideToUtf8(FormatJournal(journal));
  const std::wstring temp = path + L".new";
  HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    LogWrite("WriteJournal: cannot create %ls (error %lu)", temp.c_str(), GetLastError());
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
  ok = FlushFileBuffers(h) && ok;
  CloseHandle(h);
  ok = ok && MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) {
    LogWrite("WriteJournal: cannot write %ls (error %lu)", path.c_str(), GetLastError());
    DeleteFileW(temp.c_str());
  }
  return ok;
}

void DropJournal(const std::wstring& path) { DeleteFileW(path.c_str()); }

std::wstring FolderIdentity(const std::wstring& folder) {
  HANDLE h = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  if (!ok) return {};
  wchar_t text[40];
  std::swprintf(text, 40, L"%08lx-%08lx%08lx", info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow);
  return text;
}

bool CarryLeftoversOf(const std::wstring& path, Journal* journal) {
  if (!Exists(path)) return true;
  Journal old;
  return ReadJournal(path, &old) && CarryLeftovers(old, journal);
}

bool CommitJournal(const std::wstring& path, Journal j, std::wstring* stuck) {
  InTransit transit;
  stuck->clear();
  j.state = JournalState::Commit;
  for (const JournalStep& s : j.steps) FlushItem(s.from);
  if (!WriteJournal(path, j)) {
    FinishLeftovers(j, false, nullptr, stuck);
    stuck->clear();
    DropJournal(path);
    return false;
  }
  unsigned point = 0;
  bool ok = true;
  for (const JournalStep& s : j.steps) {
    TestStopPoint("commit", point++);
    if (s.hadOld && (!CreateParentDirectories(s.aside) || !MoveWithRetry(s.to, s.aside))) {
      *stuck = s.to;
      ok = false;
      break;
    }
    TestStopPoint("commit", point++);
    if (!MoveWithRetry(s.from, s.to)) {
      *stuck = s.from;
      ok = false;
      break;
    }
  }
  if (ok) {
    TestStopPoint("commit", point++);
    j.state = JournalState::Done;
    ok = WriteJournal(path, j);
  }
  TestStopPoint("commit", point);
  std::wstring leftover;
  if (!ok) {
    std::wstring undoStuck;
    if (!RollBack(j, nullptr, &undoStuck) || !FinishLeftovers(j, false, nullptr, &leftover)) return false;
    DropJournal(path);
    return false;
  }
  // The new files are in place: a leftover that cannot be removed now is
  // removed by the next start, and the install stands.
  if (FinishLeftovers(j, true, nullptr, &leftover)) DropJournal(path);
  return true;
}

bool RecoverJournal(const std::wstring& path, std::wstring* stuck, const std::wstring& gameFolder) {
  stuck->clear();
  DeleteFileW((path + L".new").c_str());  // a journal write that never reached its rename
  InTransit transit;
  bool clear = true;
  if (Exists(path)) {
    const Outcome outcome = RecoverOne(path, gameFolder, stuck);
    clear = outcome != Outcome::Stuck;
    // Kept beside, so that it neither blocks the next job nor is lost.
    if (outcome == Outcome::FolderGone && !KeepLost(path)) clear = false;
  }
  for (int n = 1; n <= kMostLost; ++n) {
    std::wstring lostStuck;
    if (Exists(LostName(path, n))) RecoverOne(LostName(path, n), gameFolder, &lostStuck);
  }
  return clear;
}

void RecoverInterruptedJobs() {
  for (JournalKind kind : {JournalKind::Addon, JournalKind::Patch}) {
    std::wstring path = JournalPathOf(kind), stuck;
    if (!path.empty() && !RecoverJournal(path, &stuck) && !stuck.empty())
      LogWrite("Recovery: left for the next start: %ls", stuck.c_str());
  }
  std::wstring stuck;
  if (!RecoverRepairJournals(&stuck) && !stuck.empty())
    LogWrite("Recovery: left for the next start: %ls", stuck.c_str());
}

bool StageArchive(const std::wstring& folder, const std::wstring& temp, const std::wstring& journal) {
  const std::wstring path = journal.empty() ? JournalPathOf(JournalKind::Patch) : journal;
  Journal j;
  j.folder = JournalFolderName(folder);
  j.folderId = FolderIdentity(folder);
  j.remove = {temp};
  // The aside file of the archive before, when it could not be removed yet.
  return !path.empty() && CarryLeftoversOf(path, &j) && WriteJournal(path, j);
}

bool CommitArchive(const std::wstring& folder, const std::wstring& temp, const std::wstring& archive,
                   std::wstring* stuck, const std::wstring& journal, const std::wstring& keepOldAs) {
  const std::wstring path = journal.empty() ? JournalPathOf(JournalKind::Patch) : journal;
  const std::wstring aside = SetAsideName(archive);
  if (path.empty()) return *stuck = L"", false;
  // The aside name is the launcher's own: one that is there while the
  // archive is, is a leftover that could not be removed before.
  if (Exists(archive)) RemoveLeftover(aside);
  Journal j;
  j.folder = JournalFolderName(folder);
  j.folderId = FolderIdentity(folder);
  j.remove = {temp, aside};
  const bool hadOld = Exists(archive);
  j.steps.push_back({hadOld, temp, archive, aside});
  if (hadOld && !keepOldAs.empty()) j.keep.push_back({aside, keepOldAs});
  if (!CarryLeftoversOf(path, &j)) return *stuck = L"", false;
  return CommitJournal(path, std::move(j), stuck);
}

std::wstring NextDatedCopy(const std::wstring& folder, const wchar_t* prefix) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((folder + L"\\" + prefix + L"-*").c_str(), &fd);
  if (find != INVALID_HANDLE_VALUE) {
    do names.emplace_back(fd.cFileName);
    while (FindNextFileW(find, &fd));
    FindClose(find);
  }
  SYSTEMTIME t;
  GetLocalTime(&t);
  wchar_t stamp[32];
  std::swprintf(stamp, 32, L"%04u%02u%02u-%02u%02u%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
  return folder + L"\\" + NextKeptName(names, prefix, stamp);
}

std::string LockedFileText(const std::wstring& name) {
  return Gbk(u8"无法替换文件，可能被其他程序占用：") + GbkFromWide(name) + Gbk(u8"。请关闭杀毒软件或游戏后重试。");
}

void TestStopPoint(const char* phase, unsigned n) {
#if defined(REALMPORTER_TEST_HOOKS)
  static const char* const wanted = std::getenv("REALMPORTER_TEST_STOP");
  if (!wanted) return;
  char here[64];
  std::snprintf(here, sizeof here, "%s:%u", phase, n);
  if (std::strcmp(wanted, here) != 0) return;
  LogWrite("TestStopPoint: stopped at %s", here);
  for (;;) Sleep(1000);
#else
  (void)phase;
  (void)n;
#endif
}
