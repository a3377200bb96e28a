#include "install/journal.h"

#include <gtest/gtest.h>

namespace {

Journal Sample(JournalState state) {
  Journal j;
  j.state = state;
  j.remove = {L"C:\\g\\RealmPorter-staging", L"C:\\g\\RealmPorter-aside"};
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
  }
}

TEST(Journal, ATextCutAnywhereOrAlteredIsRefused) {
  const std::wstring text = FormatJournal(Sample(JournalState::Commit));
  Journal j;
  for (size_t n = 0; n < text.size(); ++n) EXPECT_FALSE(ParseJournal(text.substr(0, n), &j)) << n;
  for (std::wstring bad : {std::wstring(L"RealmPorter journal 2\nstate\tcommit\nend\n"),
                           std::wstring(L"RealmPorter journal 1\nend\n"),                 // no state
                           std::wstring(L"RealmPorter journal 1\nstate\tstaged\nend\n"),  // unknown state
                           std::wstring(L"RealmPorter journal 1\nstate\tdone\nstep\t1\ta\tb\t\nend\n"),  // no aside
                           std::wstring(L"RealmPorter journal 1\nstate\tdone\nend\nend\n")})
    EXPECT_FALSE(ParseJournal(bad, &j)) << std::string(bad.begin(), bad.end());
}

// A step is two moves: old to aside (when there was one), then new into place.
// Whatever the disk shows after a stop, undoing gets back to the start.
TEST(Journal, UndoFromEveryPointOfAStep) {
  struct Row {
    bool hadOld, from, to, aside;
    bool takeNewBack, putOldBack;
  } rows[] = {
      {true, true, true, false, false, false},    // not begun
      {true, true, false, true, false, true},     // old aside, new not yet in
      {true, false, true, true, true, true},      // both moves made
      {false, true, false, false, false, false},  // an added item not yet in
      {false, false, true, false, true, false},   // an added item in place
      {true, false, false, true, false, true},    // new item lost: the old one still comes back
  };
  for (const Row& r : rows) {
    StepUndo u = UndoStep({r.hadOld, L"f", L"t", L"a"}, r.from, r.to, r.aside);
    EXPECT_EQ(u.takeNewBack, r.takeNewBack) << r.hadOld << r.from << r.to << r.aside;
    EXPECT_EQ(u.putOldBack, r.putOldBack) << r.hadOld << r.from << r.to << r.aside;
  }
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

}  // namespace
