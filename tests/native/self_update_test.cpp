#include "install/self_update.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SelfUpdatePaths, BelongToTheExeWithoutTheSwapEndings) {
  struct {
    const wchar_t* module;
    const wchar_t* exe;
    bool asOld;
  } cases[] = {
      {L"C:\\Games\\RealmPorter.exe", L"C:\\Games\\RealmPorter.exe", false},
      {L"C:\\Games\\RealmPorter.exe.old", L"C:\\Games\\RealmPorter.exe", true},
      {L"C:\\Games\\RealmPorter.exe.OLD", L"C:\\Games\\RealmPorter.exe", true},
      {L"C:\\Games\\RealmPorter.exe.new", L"C:\\Games\\RealmPorter.exe", false},
      {L"D:\\下载\\星桥.exe", L"D:\\下载\\星桥.exe", false},
      {L"x.old", L"x", true},
      {L"old", L"old", false},
  };
  for (const auto& c : cases) {
    SelfUpdatePaths p = PathsForRunningExe(c.module);
    EXPECT_EQ(p.exe, c.exe);
    EXPECT_EQ(p.newExe, std::wstring(c.exe) + L".new");
    EXPECT_EQ(p.oldExe, std::wstring(c.exe) + L".old");
    EXPECT_EQ(p.runningAsOld, c.asOld);
  }
}

// Each stop of the swap, as the next start finds the folder.
TEST(StartupSwap, CompletesOrUndoesWhatAStopLeft) {
  using S = StartupSwapStep;
  struct {
    const char* stoppedAt;
    bool exe, old, asOld;
    S step;
  } cases[] = {
      {"no update", true, false, false, S::kNothing},
      {"after the download", true, false, false, S::kNothing},
      {"between the renames, started from the .old", false, true, true, S::kRestoreOld},
      {"between the renames, started otherwise", false, true, false, S::kRestoreOld},
      {"after the second rename", true, true, false, S::kDeleteOld},
      {"after the swap, started from the .old", true, true, true, S::kNothing},
      {"no exe and no .old", false, false, false, S::kNothing},
  };
  for (const auto& c : cases) EXPECT_EQ(DecideStartupSwap(c.exe, c.old, c.asOld), c.step) << c.stoppedAt;
}

constexpr char kNewer[] =
    "{\"version\": \"2.0.0\", \"size\": 10, \"sha256\": "
    "\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\", \"url\": \"https://s/RealmPorter.exe\"}";

std::string WithVersion(const std::string& version) {
  std::string s = kNewer;
  return s.replace(s.find("2.0.0"), 5, version);
}

TEST(FeedVerdict, OffersOnlyASignedReadableHigherVersion) {
  const std::string same = WithVersion("1.0.0"), lower = WithVersion("0.9.9"), patch = WithVersion("1.0.1");
  struct {
    const char* what;
    bool fetched, signedByKey;
    std::string text;
    const char* running;
    FeedVerdict verdict;
    bool writable = true;
  } cases[] = {
      {"newer", true, true, kNewer, "1.0.0", FeedVerdict::kOffer},
      {"a patch newer", true, true, patch, "1.0.0", FeedVerdict::kOffer},
      {"no feed", false, false, "", "1.0.0", FeedVerdict::kNoFeed},
      {"not signed", true, false, kNewer, "1.0.0", FeedVerdict::kUnsigned},
      {"signed but not a feed", true, true, "<html>", "1.0.0", FeedVerdict::kUnreadable},
      {"equal", true, true, same, "1.0.0", FeedVerdict::kNotNewer},
      {"lower", true, true, lower, "1.0.0", FeedVerdict::kNotNewer},
      {"own version unreadable", true, true, kNewer, "1.0", FeedVerdict::kBadRunning},
      {"newer, folder not writable", true, true, kNewer, "1.0.0", FeedVerdict::kNoFolder, false},
      {"equal, folder not writable", true, true, same, "1.0.0", FeedVerdict::kNotNewer, false},
      {"not signed, folder not writable", true, false, kNewer, "1.0.0", FeedVerdict::kUnsigned, false},
  };
  for (const auto& c : cases) {
    LauncherFeed feed;
    EXPECT_EQ(JudgeFeed({c.fetched, c.signedByKey, c.text, c.running, c.writable}, &feed), c.verdict) << c.what;
  }
}

// What the launcher keeps of earlier feeds and its own rollout number.
TEST(FeedVerdict, RefusedVersionsKnownBadExesAndStagedShares) {
  const std::string a(64, 'a');
  const std::string tenth = WithVersion("2.0.0").replace(1, 0, "\"share\": 10, ");
  const std::string none = WithVersion("2.0.0").replace(1, 0, "\"share\": 0, ");
  struct {
    const char* what;
    std::string text;
    const char* refused;
    PartInfo bad;
    int number;
    std::uint64_t served;
    FeedVerdict verdict;
  } cases[] = {
      {"refused this version", kNewer, "2.0.0", {}, 0, 0, FeedVerdict::kRefused},
      {"refused a higher one", kNewer, "2.0.1", {}, 0, 0, FeedVerdict::kRefused},
      {"refused a lower one", kNewer, "1.5.0", {}, 0, 0, FeedVerdict::kOffer},
      {"this exe did not match before", kNewer, "", {10, a}, 0, 0, FeedVerdict::kKnownBad},
      {"another exe did not match", kNewer, "", {11, a}, 0, 0, FeedVerdict::kOffer},
      {"no share: all", kNewer, "", {}, 99, 0, FeedVerdict::kOffer},
      {"share 10, number 9", tenth, "", {}, 9, 0, FeedVerdict::kOffer},
      {"share 10, number 10", tenth, "", {}, 10, 0, FeedVerdict::kNotYetHere},
      {"share 0, number 0", none, "", {}, 0, 0, FeedVerdict::kNotYetHere},
      {"served with the feed's size", kNewer, "", {}, 0, 10, FeedVerdict::kOffer},
      {"served with another size", kNewer, "", {}, 0, 11, FeedVerdict::kSizeDiffers},
  };
  for (const auto& c : cases) {
    FeedFacts facts{true, true, c.text, "1.0.0"};
    facts.refusedVersion = c.refused;
    facts.knownBad = c.bad;
    facts.rolloutNumber = c.number;
    facts.servedSize = c.served;
    LauncherFeed feed;
    EXPECT_EQ(JudgeFeed(facts, &feed), c.verdict) << c.what;
  }
}

// Starts of a new exe beside its .old, until it proves itself or is put back.
TEST(Trial, TwoStartsThatNeverGotThereThenTheOldExe) {
  struct {
    const char* recorded;
    TrialStep step;
    const char* next;
  } cases[] = {
      {"", TrialStep::kCount, "2.0.0 1"},         {"1.9.0 2", TrialStep::kCount, "2.0.0 1"},
      {"2.0.0 1", TrialStep::kCount, "2.0.0 2"},  {"2.0.0 2", TrialStep::kRollBack, nullptr},
      {"2.0.0 7", TrialStep::kRollBack, nullptr}, {"2.0.0 x", TrialStep::kCount, "2.0.0 1"},
      {"2.0.0 12", TrialStep::kCount, "2.0.0 1"}, {"2.0 1", TrialStep::kCount, "2.0.0 1"},
  };
  for (const auto& c : cases) {
    LauncherTrial recorded, next;
    ParseTrial(c.recorded, &recorded);
    EXPECT_EQ(DecideTrial(recorded, "2.0.0", &next), c.step) << c.recorded;
    if (c.next) EXPECT_EQ(TrialText(next), c.next) << c.recorded;
  }
}

TEST(Rollout, NumbersAreZeroToNinetyNineAsWritten) {
  int n = -1;
  EXPECT_TRUE(ParseRolloutNumber("0", &n) && n == 0);
  EXPECT_TRUE(ParseRolloutNumber("99", &n) && n == 99);
  for (const char* bad : {"", "100", "07", "-1", "x", "5 "}) EXPECT_FALSE(ParseRolloutNumber(bad, &n)) << bad;
}

TEST(FeedVerdict, EachHasOneLogLineNamingTheFeed) {
  LauncherFeed feed;
  ASSERT_TRUE(ParseLauncherFeed(kNewer, &feed));
  const std::string url = "https://site/launcher/latest.json";
  EXPECT_EQ(FeedVerdictLogLine(FeedVerdict::kOffer, url, feed, "1.0.0"),
            "LauncherUpdate: offering 2.0.0 (running 1.0.0) from " + url);
  EXPECT_EQ(FeedVerdictLogLine(FeedVerdict::kNoFeed, url, feed, "1.0.0"), "LauncherUpdate: no feed at " + url);
  EXPECT_EQ(FeedVerdictLogLine(FeedVerdict::kUnsigned, url, feed, "1.0.0"),
            "LauncherUpdate: feed signature invalid: " + url);
  EXPECT_EQ(FeedVerdictLogLine(FeedVerdict::kNotNewer, url, feed, "2.0.0"),
            "LauncherUpdate: feed offers 2.0.0, running 2.0.0: nothing to do");
  EXPECT_EQ(FeedVerdictLogLine(FeedVerdict::kNoFolder, url, feed, "1.0.0"),
            "LauncherUpdate: feed offers 2.0.0, but the launcher's folder is not writable");
}

TEST(DownloadMatch, SizeAndDigestBothAsTheFeedSays) {
  LauncherFeed feed;
  ASSERT_TRUE(ParseLauncherFeed(kNewer, &feed));
  const std::string a(64, 'a'), upper(64, 'A'), b(64, 'b');
  EXPECT_TRUE(DownloadMatchesFeed(10, a, feed));
  EXPECT_TRUE(DownloadMatchesFeed(10, upper, feed));
  EXPECT_FALSE(DownloadMatchesFeed(11, a, feed));
  EXPECT_FALSE(DownloadMatchesFeed(9, a, feed));
  EXPECT_FALSE(DownloadMatchesFeed(10, b, feed));
  EXPECT_FALSE(DownloadMatchesFeed(10, a.substr(1), feed));
  EXPECT_FALSE(DownloadMatchesFeed(10, "", feed));
}

TEST(PartInfo, ReadsBackOnlyWhatItWrites) {
  LauncherFeed feed;
  ASSERT_TRUE(ParseLauncherFeed(kNewer, &feed));
  const std::string a(64, 'a');
  EXPECT_EQ(PartInfoText(feed), "10 " + a + "\n");
  struct {
    std::string text;
    bool ok;
  } cases[] = {
      {PartInfoText(feed), true},
      {"67108864 " + a + "\n", true},
      {"67108865 " + a + "\n", false},
      {"99999999999999999999999 " + a + "\n", false},
      {"10 " + a, false},
      {"10 " + std::string(64, 'A') + "\n", false},
      {"10 " + a.substr(1) + "\n", false},
      {"10  " + a + "\n", false},
      {"010 " + a + "\n", false},
      {"01 " + a + "\n", false},
      {"0 " + a + "\n", false},
      {"-1 " + a + "\n", false},
      {" " + a + "\n", false},
      {"", false},
  };
  for (const auto& c : cases) {
    PartInfo info;
    EXPECT_EQ(ParsePartInfo(c.text, &info), c.ok) << c.text;
    if (c.ok) EXPECT_EQ(PartInfoText(LauncherFeed{{}, info.size, info.sha256, "", ""}), c.text);
  }
}

// What the offer's download and the update check do with a .new beside the
// exe, for the feed of kNewer (10 bytes, digest a...a).
TEST(PendingNew, ContinuedOnlyForTheExeItsRecordNames) {
  LauncherFeed feed;
  ASSERT_TRUE(ParseLauncherFeed(kNewer, &feed));
  const PartInfo same{10, std::string(64, 'a')}, otherHash{10, std::string(64, 'b')}, otherSize{12, same.sha256};
  using U = PendingNewUse;
  using V = FeedVerdict;
  struct {
    const char* what;
    PendingNew pending;
    U use;
    bool keptAtOffer, keptOffline;
  } cases[] = {
      {"no .new", {false, 0, false, {}}, U::kStartOver, false, false},
      {"a lone record", {false, 0, true, same}, U::kStartOver, false, false},
      {"cut off, record of this exe", {true, 4, true, same}, U::kResume, true, true},
      {"empty, record of this exe", {true, 0, true, same}, U::kResume, true, true},
      {"whole, record of this exe", {true, 10, true, same}, U::kCheckWhole, true, false},
      {"longer than the exe", {true, 11, true, same}, U::kStartOver, false, false},
      {"cut off, no record", {true, 4, false, {}}, U::kStartOver, false, false},
      {"cut off, record of another digest", {true, 4, true, otherHash}, U::kStartOver, false, true},
      {"cut off, record of another size", {true, 4, true, otherSize}, U::kStartOver, false, true},
      {"longer than the exe, shorter than its record", {true, 11, true, otherSize}, U::kStartOver, false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecidePendingNew(c.pending, feed), c.use) << c.what;
    EXPECT_EQ(KeepPendingNew(V::kOffer, feed, c.pending), c.keptAtOffer) << c.what;
    EXPECT_EQ(KeepPendingNew(V::kNoFeed, feed, c.pending), c.keptOffline) << c.what;
    EXPECT_EQ(KeepPendingNew(V::kUnsigned, feed, c.pending), c.keptOffline) << c.what;
    // A signed feed that names no newer exe, or one this launcher cannot
    // write or read, makes every .new stale.
    for (V v : {V::kNotNewer, V::kUnreadable, V::kBadRunning, V::kNoFolder})
      EXPECT_FALSE(KeepPendingNew(v, feed, c.pending)) << c.what;
  }
}

TEST(FeedUrl, BesideTheServerList) {
  EXPECT_EQ(LauncherFeedUrl("https://a.example/"), "https://a.example/launcher/latest.json");
  EXPECT_EQ(LauncherFeedUrl("https://a.example"), "https://a.example/launcher/latest.json");
}

}  // namespace
