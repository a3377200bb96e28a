#pragma once
// The journal of an install's commit: what it says and what a later start
// does with it. No Win32 here; the moves are in install/journal_win.cpp,
// whose top comment tells how the pieces make a commit all-or-nothing.
#include <string>
#include <string_view>
#include <vector>

// Where a job stood when its journal was last written.
enum class JournalState {
  Staging,  // the new files are being made beside the game's; nothing of the player's was touched
  Commit,   // moves into the game folder may have begun: undo them
  Done,     // every move was made: only leftovers remain to be removed
};

// One replacement: the new item at `from` goes to `to`; the player's item
// at `to`, when there was one (`hadOld`), goes to `aside` first.
struct JournalStep {
  bool hadOld = false;
  std::wstring from, to, aside;
};

// An aside item the player keeps once the commit is done: moved from `from`
// to `to` before the leftovers are removed.
struct JournalKeep {
  std::wstring from, to;
};

struct Journal {
  JournalState state = JournalState::Staging;
  // The folder every path below lies in (the game folder), and the file
  // system's identity of it (FolderIdentity), so that recovery can tell a
  // folder that was moved or deleted from one whose steps are all undone.
  // Empty in a journal of an older launcher.
  std::wstring folder, folderId;
  // Removed at the end whatever the outcome: the staging and aside folders
  // (or a patch's temporary and .bak files). A rollback has moved everything
  // of the player's out of them first.
  std::vector<std::wstring> remove;
  std::vector<JournalStep> steps;
  std::vector<JournalKeep> keep;
};

// The journal as text, one record a line, closed by an "end" line so that a
// cut-short text is never taken for a whole one. The text of an older
// launcher (header "RealmPorter journal 1", no folder and no keep lines) is
// read as well.
std::wstring FormatJournal(const Journal& journal);
bool ParseJournal(std::wstring_view text, Journal* journal);

// The folder a journal's paths lie in: its `folder`, or for a journal of an
// older launcher the folder that holds its first leftover. Empty when the
// journal names none.
std::wstring JournalFolder(const Journal& journal);
// The journal with every path below `oldFolder` moved below `newFolder`
// (both without a trailing backslash; compared in ASCII case): recovery of
// a game folder the player moved.
Journal RebaseJournal(const Journal& journal, std::wstring_view oldFolder, std::wstring_view newFolder);
// Adds to `next` what a journal in the state Staging or Done (`done`) still
// lists (a leftover that could not be removed yet, a copy to keep), so that
// writing `next` over it forgets none. False for an unfinished commit, or
// one of another folder: it must be recovered first.
bool CarryLeftovers(const Journal& done, Journal* next);

// How one step is undone, from what stands on disk now.
struct StepUndo {
  bool takeNewBack = false;  // move `to` back to `from`
  bool putOldBack = false;   // then move `aside` to `to`
};
StepUndo UndoStep(const JournalStep& step, bool fromExists, bool toExists, bool asideExists);

// What recovery does with a journal in each state.
enum class Recovery { Discard, RollBack, Finish };
Recovery RecoveryFor(JournalState state);

// The names a replaced file's neighbours get while it is replaced: the new
// file while it is made (`<file>.RealmPorter-new`) and the player's file
// while the new one is renamed in (`<file>.RealmPorter-old`). No player
// names a file so: a `<file>.bak` or `.part` may be the player's own (an
// archive switched off by renaming it) and is never touched. A launcher
// before these names used `.part` and `.bak`; its journals name them, and
// recovery acts on the names a journal gives.
std::wstring MakingName(std::wstring_view file);
std::wstring SetAsideName(std::wstring_view file);

// How an item of an addon pack is laid over the game folder: `Interface`
// (at the top, any case) is replaced whole; any other folder is merged into
// the player's folder of the same name, file by file; an item the player
// does not have is moved in whole.
enum class LayAction { Add, Replace, Descend };
LayAction DecideLay(bool topLevel, std::wstring_view name, bool packIsDir, bool playerHas, bool playerIsDir);
