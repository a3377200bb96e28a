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
//     downloaded to a temporary file beside the archive. Before that starts,
//     the journal says "staging" and lists what to remove. A stop here leaves
//     the player's files untouched; recovery removes the staging leftovers.
//  2. The commit is planned in full (every item to be replaced, where the
//     new one comes from and where the player's one is kept aside) and
//     written into the journal with the state "commit". The journal is
//     written to a temporary file, flushed to the disk (FlushFileBuffers)
//     and renamed over the old journal with MOVEFILE_WRITE_THROUGH: on disk
//     there is always one whole journal, old or new, never a torn one. Only
//     after that flush is the first of the player's files moved.
//  3. Each step is two renames, each written through: the player's item to
//     the aside folder (or `.bak`), then the new item into its place. After
//     any rename the disk tells by itself how far a step got (which of the
//     three names exist), so the journal needs no update between renames.
//     Undoing a step is the same renames backwards (UndoStep). The aside
//     items are the player's own, kept whole until the commit is complete.
//  4. When every step is made, the journal is rewritten with "done". That
//     write is the commit point: before it, recovery rolls back; after it,
//     recovery only removes the staging and aside leftovers.
//  5. The journal is removed after the last leftover is gone.
//
// Recovery runs at the next start, before the window, and before the next
// job of the same kind: the journal's state says whether to discard staging,
// roll back or finish (RecoveryFor). Each of these actions may itself be
// stopped at any moment and simply runs again, because every action is
// chosen from what exists on disk now. A move that keeps failing (a file
// held open by a scanner or the game) leaves the journal in place; the job
// reports it to the player, and the next start or job finishes the work.
//
// Only one launcher runs per machine (the single-instance mutex), and
// recovery runs after that check: a second start never reads a journal
// that a running job is writing.
#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/jobs.h"
#include "app/log.h"
#include "game/game.h"
#include "install/transaction.h"
#include "manifest/install_paths.h"
#include "net/text.h"

namespace {

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A rename written through to the disk, tried for about a second: a virus
// scanner or the search indexer often holds a new file for a moment.
bool MoveWithRetry(const std::wstring& from, const std::wstring& to) {
  for (int i = 0; i < 10; ++i) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    Sleep(100);
  }
  LogWrite("MoveFileEx failed (error %lu): %ls -> %ls", GetLastError(), from.c_str(), to.c_str());
  return false;
}

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

// Undoes the steps in reverse order; false (with the name) at the first
// move that fails, so that a later run starts again from the disk's state.
bool RollBack(const Journal& j, bool logEach, std::wstring* stuck) {
  for (size_t i = j.steps.size(); i-- > 0;) {
    const JournalStep& s = j.steps[i];
    StepUndo u = UndoStep(s, Exists(s.from), Exists(s.to), !s.aside.empty() && Exists(s.aside));
    if (u.takeNewBack) {
      if (!MoveWithRetry(s.to, s.from)) return *stuck = s.to, false;
      if (logEach) LogWrite("Recovery: took back %ls", s.to.c_str());
    }
    if (u.putOldBack) {
      if (!MoveWithRetry(s.aside, s.to)) return *stuck = s.aside, false;
      if (logEach) LogWrite("Recovery: put back %ls", s.to.c_str());
    }
  }
  return true;
}

bool RemoveLeftovers(const Journal& j, bool logEach, std::wstring* stuck) {
  for (const std::wstring& r : j.remove) {
    const bool present = Exists(r);
    if (!RemoveLeftover(r)) return *stuck = r, false;
    if (present && logEach) LogWrite("Recovery: removed %ls", r.c_str());
  }
  return true;
}

}  // namespace

std::wstring JournalPathOf(JournalKind kind) {
  std::wstring dir = LauncherDataFolder();
  if (dir.empty()) return {};
  return dir + (kind == JournalKind::Addon ? L"\\addon.journal" : L"\\patch.journal");
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

bool CommitJournal(const std::wstring& path, Journal j, std::wstring* stuck) {
  InTransit transit;
  stuck->clear();
  j.state = JournalState::Commit;
  if (!WriteJournal(path, j)) {
    RemoveLeftovers(j, false, stuck);
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
    j.state = JournalState::Done;
    ok = WriteJournal(path, j);
  }
  TestStopPoint("commit", point);
  std::wstring leftover;
  if (!ok) {
    std::wstring undoStuck;
    if (!RollBack(j, false, &undoStuck) || !RemoveLeftovers(j, false, &leftover)) return false;
    DropJournal(path);
    return false;
  }
  // The new files are in place: a leftover that cannot be removed now is
  // removed by the next start, and the install stands.
  if (RemoveLeftovers(j, false, &leftover)) DropJournal(path);
  return true;
}

bool RecoverJournal(const std::wstring& path, std::wstring* stuck) {
  stuck->clear();
  DeleteFileW((path + L".new").c_str());  // a journal write that never reached its rename
  if (!Exists(path)) return true;
  InTransit transit;
  std::string text;
  if (FILE* f = _wfopen(path.c_str(), L"rb")) {
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
  }
  Journal j;
  if (!ParseJournal(Utf8ToWide(text), &j)) {
    LogWrite("Recovery: unreadable journal kept: %ls", path.c_str());
    return false;
  }
  const Recovery what = RecoveryFor(j.state);
  LogWrite("Recovery: %s %ls",
           what == Recovery::Discard    ? "discarding an unfinished job of"
           : what == Recovery::RollBack ? "rolling back an interrupted commit of"
                                        : "finishing a completed commit of",
           path.c_str());
  if (what == Recovery::RollBack && !RollBack(j, true, stuck)) return false;
  if (!RemoveLeftovers(j, true, stuck)) return false;
  DropJournal(path);
  LogWrite("Recovery: done: %ls", path.c_str());
  return true;
}

void RecoverInterruptedJobs() {
  for (JournalKind kind : {JournalKind::Addon, JournalKind::Patch}) {
    std::wstring path = JournalPathOf(kind), stuck;
    if (!path.empty() && !RecoverJournal(path, &stuck) && !stuck.empty())
      LogWrite("Recovery: left for the next start: %ls", stuck.c_str());
  }
}

bool StageArchive(const std::wstring& temp) {
  const std::wstring path = JournalPathOf(JournalKind::Patch);
  Journal j;
  j.remove = {temp};
  return !path.empty() && WriteJournal(path, j);
}

bool CommitArchive(const std::wstring& temp, const std::wstring& archive, std::wstring* stuck) {
  const std::wstring path = JournalPathOf(JournalKind::Patch), backup = archive + L".bak";
  if (path.empty()) return *stuck = L"", false;
  // A .bak that a launcher of an earlier version left is not the player's
  // working archive: that one is `archive` itself.
  if (Exists(archive)) RemoveLeftover(backup);
  Journal j;
  j.remove = {temp, backup};
  j.steps.push_back({Exists(archive), temp, archive, backup});
  return CommitJournal(path, std::move(j), stuck);
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
