#pragma once
// Replacing the player's files as one step, under a journal that a later
// start reads (install/journal_win.cpp tells how).
#include <string>

#include "install/journal.h"

// One journal per kind of job, so that an addon install and a patch update
// may run side by side.
enum class JournalKind { Addon, Patch };
// <local app data>\RealmPorter\addon.journal or patch.journal; empty when
// the special folder cannot be found.
std::wstring JournalPathOf(JournalKind kind);
// A client repair makes several files at once, each under a journal of its
// own, named for the client's folder (its FolderIdentity) so that repairs
// of two folders never share one:
// <local app data>\RealmPorter\repair-<identity>-<n>.journal. An empty
// `folder` gives the name an older launcher used, repair-<n>.journal.
// Empty as above.
std::wstring RepairJournalPath(const std::wstring& folder, int n);
// Recovers every repair journal that is there (RecoverJournal); false when
// one is left, `stuck` then names a file of it. The journals of a folder
// whose repair runs now (in this launcher or in realmporter-fetch, the
// repair lock held by another thread) are that repair's, and left alone.
bool RecoverRepairJournals(std::wstring* stuck, const std::wstring& gameFolder = {});
// One repair or update per client folder at a time, across processes: a
// named mutex of the folder's identity, released when its holder ends,
// however it ends. `held` is false when another holds it.
struct RepairLock {
  explicit RepairLock(const std::wstring& folder);
  ~RepairLock();
  RepairLock(const RepairLock&) = delete;
  RepairLock& operator=(const RepairLock&) = delete;
  bool held = false;
  void* mutex = nullptr;
};

// Writes the journal through a temporary file that is flushed and then
// renamed over the old one: the file on disk is always one whole journal.
bool WriteJournal(const std::wstring& path, const Journal& journal);
// Removes the journal once nothing it lists remains to be done.
void DropJournal(const std::wstring& path);
// The file system's identity of a folder (volume and file index), which a
// rename or a move within the volume keeps; empty when it cannot be read.
std::wstring FolderIdentity(const std::wstring& folder);
// Adds to `journal` what the journal at `path` still lists (a leftover that
// could not be removed yet), so that writing `journal` over it forgets
// nothing. False when that journal's commit is unfinished or unreadable:
// recovery has to come first.
bool CarryLeftoversOf(const std::wstring& path, Journal* journal);

// Makes the journal's steps (state Commit) and then, once the new items are
// written through to the disk and the journal says "done", makes its keeps
// and removes its leftovers.
// A move that fails after about a second of retries undoes the steps made
// so far. True when every step was made; otherwise `stuck` names the file
// that could not be moved (empty when the journal itself could not be
// written). The journal stays on disk only while something it lists could
// not be done.
bool CommitJournal(const std::wstring& path, Journal journal, std::wstring* stuck);

// Finishes what the journal at `path` records: rolls an unfinished commit
// back, or removes the leftovers of a finished one. True when no journal
// remains; `stuck` names a file that still could not be moved.
// A journal whose folder is missing (or is another folder now) is not acted
// on: nothing of the player's is moved or removed by it. It is kept beside,
// as <path>.lost-<n>, and tried again by every later recovery: when its
// folder is back, or when `gameFolder` is that folder moved elsewhere (the
// same identity), it is finished there.
bool RecoverJournal(const std::wstring& path, std::wstring* stuck, const std::wstring& gameFolder = {});
// The step of the start-up sequence: recovery for every kind of job.
void RecoverInterruptedJobs();

// Records that `temp` is being made beside an archive (a download), so that
// a stop leaves no partial file behind: CommitArchive, or RecoverJournal of
// the patch journal, ends the record.
// `folder` is the game folder both lie in. `journal` is the patch journal
// when empty.
bool StageArchive(const std::wstring& folder, const std::wstring& temp, const std::wstring& journal = {});
// Puts a verified new archive (`temp`, beside it) in place of `archive`; the
// old one waits as SetAsideName(`archive`) until the new one is in place.
// With `keepOldAs`, the old one (when there was one) is then moved there
// instead of removed: a file of the player's that stood at the new one's
// place.
bool CommitArchive(const std::wstring& folder, const std::wstring& temp, const std::wstring& archive,
                   std::wstring* stuck, const std::wstring& journal = {}, const std::wstring& keepOldAs = {});
// A name below `folder` for a dated copy of the player's that is not taken
// yet: <folder>\<prefix>-n<seq>-YYYYMMDD-HHMMSS, numbered after every copy
// of that prefix there.
std::wstring NextDatedCopy(const std::wstring& folder, const wchar_t* prefix);

// "无法替换文件，可能被其他程序占用：<name>。请关闭杀毒软件或游戏后重试。" in GBK.
std::string LockedFileText(const std::wstring& name);

// Test builds only: a test can make the launcher stop still at a named
// point of a job (REALMPORTER_TEST_STOP=<phase>:<n>) so that it can kill
// it there. Nothing in a release build.
void TestStopPoint(const char* phase, unsigned n);
