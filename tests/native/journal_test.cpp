#include "install/journal.h"

#include <gtest/gtest.h>

#include "app/kept_copies.h"

namespace {

Journal Sample(JournalState state) {
  Journal j;
  j.state = state;
  j.folder = L"C:\\g";
  j.folderId = L"0000abcd-0000000000001234";
  j.remove = {L"C:\\g\\RealmPorter-staging", L"C:\\g\\RealmPorter-aside"};
  j.keep = {{L"C:\\g\\RealmPorter-aside\\Interface", L"C:\\g\\RealmPorter-backup\\Interface-20261208-031005-123"}};
  j.steps = {
      {true, L"C:\\g\\RealmPorter-staging\\Interface", L"C:\\g\\Interface", L"C:\\g\\RealmPorter-aside\\Interface"},
      {false, L"C:\\g\\RealmPorter-staging\\Fonts", L"C:\\g\\Fonts", L""},
      {true, L"C:\\g\\RealmPorter-staging\\WTF\\配置.wtf", L"C:\\g\\WTF\\配置.wtf",
       L"C:\\g\\RealmPorter-aside\\WTF\\配置.wtf"}};
  return j;
}

TEST(Journal, EveryStateReadsBackAsWritten) {
  for (JournalState s : {JournalState::Staging, JournalState::Commit, JournalState::Done}) {
    const std::wstring text = FormatJournal(Sample(s));
    Journal back;
    ASSERT_TRUE(ParseJournal(text, &back));
    EXPECT_EQ(FormatJournal(back), text);
    EXPECT_EQ(back.state, s);
    EXPECT_EQ(back.steps.size(), 3u);
    EXPECT_EQ(back.folder, L"C:\\g");
    EXPECT_EQ(back.folderId, L"0000abcd-0000000000001234");
    ASSERT_EQ(back.keep.size(), 1u);
    EXPECT_EQ(back.keep[0].to, L"C:\\g\\RealmPorter-backup\\Interface-20261208-031005-123");
  }
}

// What a launcher before the folder and keep records wrote is read as it was.
TEST(Journal, AJournalOfAnOlderLauncherIsRead) {
  Journal j;
  ASSERT_TRUE(
      ParseJournal(L"RealmPorter journal 1\nstate\tcommit\nremove\tC:\\g\\RealmPorter-staging\n"
                   L"step\t1\tC:\\g\\RealmPorter-staging\\WTF\tC:\\g\\WTF\tC:\\g\\RealmPorter-aside\\WTF\nend\n",
                   &j));
  EXPECT_EQ(j.state, JournalState::Commit);
  EXPECT_EQ(j.folder, L"");
  EXPECT_EQ(j.steps.size(), 1u);
  EXPECT_EQ(JournalFolder(j), L"C:\\g");  // where its first leftover lies
  for (const wchar_t* v1 : {L"RealmPorter journal 1\nstate\tdone\nfolder\tC:\\g\t1\nend\n",
                            L"RealmPorter journal 1\nstate\tdone\nkeep\ta\tb\nend\n"})
    EXPECT_FALSE(ParseJournal(v1, &j));  // records it never wrote
}

TEST(Journal, ATextCutAnywhereOrAlteredIsRefused) {
  const std::wstring text = FormatJournal(Sample(JournalState::Commit));
  Journal j;
  for (size_t n = 0; n < text.size(); ++n) EXPECT_FALSE(ParseJournal(text.substr(0, n), &j)) << n;
  for (const wchar_t* bad : {L"RealmPorter journal 3\nstate\tcommit\nend\n",
                             L"RealmPorter journal 1\nend\n",                                // no state
                             L"RealmPorter journal 1\nstate\tstaged\nend\n",                 // unknown state
                             L"RealmPorter journal 1\nstate\tdone\nstep\t1\ta\tb\t\nend\n",  // no aside
                             L"RealmPorter journal 1\nstate\tdone\nend\nend\n"})
    EXPECT_FALSE(ParseJournal(bad, &j)) << bad;
  // every field a record needs, empty in turn
  for (const wchar_t* record : {L"remove\t", L"remove", L"step\t\ta\tb\tc", L"step\t2\ta\tb\tc", L"step\t0\t\tb\t",
                                L"step\t1\t\tb\tc", L"step\t0\ta\t\t", L"step\t1\ta\t\tc", L"step\t1\ta\tb",
                                L"folder\t\tid", L"folder\ta\tb\nfolder\ta\tb", L"keep\t\tb", L"keep\ta\t"})
    EXPECT_FALSE(ParseJournal(std::wstring(L"RealmPorter journal 2\nstate\tdone\n") + record + L"\nend\n", &j))
        << record;
}

// A step is two moves: old to aside (when there was one), then new into
// place; its undo is the same moves backwards, then the leftovers (staging,
// aside folder) go. Every combination of what the disk shows, including a
// step whose undo an earlier run of recovery already made.
TEST(Journal, UndoFromEveryCombinationOfWhatExists) {
  struct Row {
    bool hadOld, from, to, aside;
    bool takeNewBack, putOldBack;
  } rows[] = {
      // had an old item
      {true, true, true, true, false, false},     // `to` is the old item (the new is still in staging): nothing moved
      {true, true, true, false, false, false},    // not begun, or undone before the leftovers went
      {true, true, false, true, false, true},     // old aside, new not yet in
      {true, true, false, false, false, false},   // the player's item gone by other hands: nothing to put back
      {true, false, true, true, true, true},      // both moves made
      {true, false, true, false, false, false},   // undone, then the staging folder removed: `to` is the player's
      {true, false, false, true, false, true},    // new item lost: the old one still comes back
      {true, false, false, false, false, false},  // nothing left to move
      // an added item (no aside; what exists at its path does not count)
      {false, true, true, true, false, false},    // something of the player's at `to`: not the new item
      {false, true, true, false, false, false},   // the same
      {false, true, false, true, false, false},   // not yet in
      {false, true, false, false, false, false},  // not yet in, or taken back
      {false, false, true, true, true, false},    // in place
      {false, false, true, false, true, false},   // in place
      {false, false, false, true, false, false},  // taken back and the staging folder removed
      {false, false, false, false, false, false},
  };
  for (const Row& r : rows) {
    StepUndo u = UndoStep({r.hadOld, L"f", L"t", r.hadOld ? L"a" : L""}, r.from, r.to, r.aside);
    EXPECT_EQ(u.takeNewBack, r.takeNewBack) << r.hadOld << r.from << r.to << r.aside;
    EXPECT_EQ(u.putOldBack, r.putOldBack) << r.hadOld << r.from << r.to << r.aside;
  }
}

// An undo run to its end, stopped after each of its moves and run again
// from what the disk then shows: it never moves anything twice.
TEST(Journal, AnUndoRunAgainAfterEachOfItsMovesEndsWithTheOldItem) {
  for (bool hadOld : {true, false}) {
    const JournalStep step{hadOld, L"f", L"t", hadOld ? L"a" : L""};
    // After both forward moves: the new item at `to`, the old aside.
    bool from = false, to = true, aside = hadOld;
    for (int run = 0; run < 4; ++run) {
      StepUndo u = UndoStep(step, from, to, aside);
      if (u.takeNewBack) from = true, to = false;
      if (u.putOldBack) to = true, aside = false;
      if (run == 2) from = false;  // the leftovers removed, then a stop
    }
    EXPECT_FALSE(aside);
    EXPECT_EQ(to, hadOld) << hadOld;
  }
}

TEST(Journal, AMovedFolderIsRebasedAndLeftoversAreCarried) {
  const Journal j = RebaseJournal(Sample(JournalState::Commit), L"c:\\G", L"D:\\Games\\魔兽");
  EXPECT_EQ(j.folder, L"D:\\Games\\魔兽");
  EXPECT_EQ(j.remove[0], L"D:\\Games\\魔兽\\RealmPorter-staging");
  EXPECT_EQ(j.steps[2].aside, L"D:\\Games\\魔兽\\RealmPorter-aside\\WTF\\配置.wtf");
  EXPECT_EQ(j.keep[0].from, L"D:\\Games\\魔兽\\RealmPorter-aside\\Interface");
  Journal other = Sample(JournalState::Commit);
  other.remove = {L"C:\\g2\\x"};
  EXPECT_EQ(RebaseJournal(other, L"C:\\g", L"D:\\h").remove[0], L"C:\\g2\\x");  // only below the folder itself

  Journal next;
  next.folder = L"C:\\g";
  next.remove = {L"C:\\g\\RealmPorter-STAGING"};
  EXPECT_FALSE(CarryLeftovers(Sample(JournalState::Commit), &next));  // an unfinished commit is recovered first
  ASSERT_TRUE(CarryLeftovers(Sample(JournalState::Done), &next));
  EXPECT_EQ(next.remove.size(), 2u);  // the staging folder once, any case
  EXPECT_EQ(next.remove[1], L"C:\\g\\RealmPorter-aside");
  EXPECT_EQ(next.keep.size(), 1u);
  Journal elsewhere;
  elsewhere.folder = L"D:\\h";
  EXPECT_FALSE(CarryLeftovers(Sample(JournalState::Done), &elsewhere));
}

TEST(Journal, RecoveryForEachState) {
  EXPECT_EQ(RecoveryFor(JournalState::Staging), Recovery::Discard);
  EXPECT_EQ(RecoveryFor(JournalState::Commit), Recovery::RollBack);
  EXPECT_EQ(RecoveryFor(JournalState::Done), Recovery::Finish);
}

TEST(Journal, HowAPackItemIsLaidOverTheGameFolder) {
  struct Row {
    bool top;
    const wchar_t* name;
    bool packDir, playerHas, playerDir;
    LayAction want;
  } rows[] = {
      {true, L"Interface", true, true, true, LayAction::Replace},  // replaced whole, never merged
      {true, L"INTERFACE", true, true, true, LayAction::Replace},
      {true, L"Interface", true, false, false, LayAction::Add},
      {false, L"Interface", true, true, true, LayAction::Descend},  // only the top-level one
      {true, L"WTF", true, true, true, LayAction::Descend},         // the player's other files stay
      {false, L"Config.wtf", false, true, false, LayAction::Replace},
      {false, L"Account", true, false, false, LayAction::Add},  // a whole new folder in one move
      {true, L"Fonts", true, true, false, LayAction::Replace},  // a file where the pack has a folder
      {true, L"readme.txt", false, true, true, LayAction::Replace},
  };
  for (const Row& r : rows)
    EXPECT_EQ(DecideLay(r.top, r.name, r.packDir, r.playerHas, r.playerDir), r.want)
        << std::string(r.name, r.name + wcslen(r.name));
}

// Kept copies go by their numbers, never by the clock's date in the name;
// the copy just made stays whatever its name.
TEST(Journal, KeptCopiesArePrunedByTheirNumbers) {
  struct Row {
    const wchar_t* name;
    unsigned long long seq;
  } rows[] = {{L"Interface-n12-20000101-000000", 12},
              {L"Interface-n3", 3},
              {L"Interface-20991231-000000-001", 0},
              {L"Interface-n", 0},
              {L"Interface-n1x-2026", 0},
              {L"Interface", 0},
              {L"crash-n2-x", 0}};
  for (const Row& r : rows) EXPECT_EQ(KeptSequence(r.name, L"Interface"), r.seq) << r.seq;
  EXPECT_EQ(NextKeptName({L"crash-n9-2000", L"crash-20991231-000000"}, L"crash", L"20261208-110000"),
            L"crash-n10-20261208-110000");
  EXPECT_EQ(NextKeptName({}, L"Interface", L""), L"Interface-n1");
  const std::vector<std::wstring> names = {L"I-n10-2000", L"I-20991231", L"I-n2-2099", L"I-20000101", L"I-n9-2100"};
  EXPECT_EQ(KeptBeyond(names, L"I", 3, L""), (std::vector<std::wstring>{L"I-20000101", L"I-20991231"}));
  // A copy just made under a name that sorts first still stays.
  EXPECT_EQ(KeptBeyond(names, L"I", 2, L"I-20000101"),
            (std::vector<std::wstring>{L"I-20991231", L"I-n2-2099", L"I-n9-2100"}));
  EXPECT_EQ(KeptBeyond(names, L"I", 9, L"I-n2-2099"), std::vector<std::wstring>{});
}

}  // namespace
