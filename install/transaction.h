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

// Writes the journal through a temporary file that is flushed and then
// renamed over the old one: the file on disk is always one whole journal.
bool WriteJournal(const std::wstring& path, const Journal& journal);
// Removes the journal once nothing it lists remains to be done.
void DropJournal(const std::wstring& path);

// Makes the journal's steps (state Commit) and then removes its leftovers.
// A move that fails after about a second of retries undoes the steps made
// so far. True when every step was made; otherwise `stuck` names the file
// that could not be moved (empty when the journal itself could not be
// written). The journal stays on disk only while something it lists could
// not be done.
bool CommitJournal(const std::wstring& path, Journal journal, std::wstring* stuck);

// Finishes what the journal at `path` records: rolls an unfinished commit
// back, or removes the leftovers of a finished one. True when no journal
// remains; `stuck` names a file that still could not be moved.
bool RecoverJournal(const std::wstring& path, std::wstring* stuck);
// The step of the start-up sequence: recovery for every kind of job.
void RecoverInterruptedJobs();

// Records that `temp` is being made beside an archive (a download), so that
// a stop leaves no partial file behind: CommitArchive, or RecoverJournal of
// the patch journal, ends the record.
bool StageArchive(const std::wstring& temp);
// Puts a verified new archive (`temp`, beside it) in place of `archive`; the
// old one waits as `archive`.bak until the new one is in place.
bool CommitArchive(const std::wstring& temp, const std::wstring& archive, std::wstring* stuck);

// "无法替换文件，可能被其他程序占用：<name>。请关闭杀毒软件或游戏后重试。" in GBK.
std::string LockedFileText(const std::wstring& name);

// Test builds only: a test can make the launcher stop still at a named
// point of a job (REALMPORTER_TEST_STOP=<phase>:<n>) so that it can kill
// it there. Nothing in a release build.
void TestStopPoint(const char* phase, unsigned n);
