// The keyed launcher's update feed and swap against the feeds that
// tests/tools/signed_e2e.sh wrote with the operator's tool under the site's
// launcher/ folder, one folder a case, before it started this program:
// good/ offers the 9.9.9 test launcher, signed with the test key.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "install/self_update_win.h"
#include "support.h"
#include "version.h"

using namespace testing_support;

namespace {

std::string FeedUrl(const char* folder) { return std::string(kSite) + "/launcher/" + folder + "/latest.json"; }

std::vector<std::string> UpdateLines() {
  std::vector<std::string> lines;
  const std::string log = ReadLog();
  for (size_t at = log.find("LauncherUpdate: "); at != std::string::npos; at = log.find("LauncherUpdate: ", at + 1))
    lines.push_back(log.substr(at, log.find_first_of("\r\n", at) - at));
  return lines;
}

TEST(LauncherFeedCheck, OnlyASignedFeedOfAHigherVersionIsOffered) {
  ScratchDir dir{L"launcher-feed"};
  const SelfUpdatePaths paths = PathsForRunningExe(dir / L"RealmPorter.exe");
  const std::string running = kLauncherVersion;
  struct {
    const char* folder;
    FeedVerdict verdict;
    std::string line;
  } cases[] = {
      {"good", FeedVerdict::kOffer, "offering 9.9.9 (running " + running + ") from " + FeedUrl("good")},
      {"none", FeedVerdict::kNoFeed, "no feed at " + FeedUrl("none")},
      {"unsigned", FeedVerdict::kUnsigned, "feed signature invalid: " + FeedUrl("unsigned")},
      {"tampered", FeedVerdict::kUnsigned, "feed signature invalid: " + FeedUrl("tampered")},
      {"other-key", FeedVerdict::kUnsigned, "feed signature invalid: " + FeedUrl("other-key")},
      {"equal", FeedVerdict::kNotNewer, "feed offers " + running + ", running " + running + ": nothing to do"},
      {"lower", FeedVerdict::kNotNewer, "feed offers 0.0.0, running " + running + ": nothing to do"},
  };
  for (const auto& c : cases) {
    ClearLog();
    LauncherFeed feed;
    EXPECT_EQ(CheckLauncherFeed(FeedUrl(c.folder), paths, &feed), c.verdict) << c.folder;
    EXPECT_EQ(UpdateLines(), std::vector<std::string>{"LauncherUpdate: " + c.line}) << c.folder;
  }
  EXPECT_FALSE(Exists(paths.newExe)) << "the folder's check leaves nothing";
}

// A folder holding a launcher that the feed's exe replaces.
class LauncherSwap : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(paths.exe, kOld);
    SaveLauncherSetting(L"LauncherBadExe", "");
  }
  // Checks the feed of `folder` (it must be offered), clears the log and
  // runs the download and swap.
  bool Update(const char* folder) {
    LauncherFeed feed;
    if (CheckLauncherFeed(FeedUrl(folder), paths, &feed) != FeedVerdict::kOffer) return false;
    if (blockDownload) MakeDirs(paths.newExe);
    ClearLog();
    return DownloadAndSwapLauncher(nullptr, feed, paths);
  }
  // The exe as it was, and one log line beginning with `line`.
  void ExpectUnchanged(const std::string& line) {
    EXPECT_EQ(ReadFileBytes(paths.exe), kOld);
    EXPECT_FALSE(Exists(paths.oldExe));
    const std::vector<std::string> lines = UpdateLines();
    ASSERT_EQ(lines.size(), 1u) << (lines.empty() ? "" : lines[0]);
    EXPECT_EQ(lines[0].rfind("LauncherUpdate: " + line, 0), 0u) << lines[0];
  }
  // The good feed's exe, and how the site was asked for it: "-" or the
  // Range header's value.
  std::string GoodExe() { return ReadFileBytes(Www(L"site", L"launcher\\good\\RealmPorter.exe")); }
  std::vector<std::string> ExeRanges() {
    std::vector<std::string> ranges;
    for (const std::string& line : Requests(kSite))
      if (line.rfind("GET /launcher/good/RealmPorter.exe ", 0) == 0) ranges.push_back(line.substr(line.rfind(' ') + 1));
    return ranges;
  }
  // An earlier run's download of the good feed's exe cut off after `bytes`,
  // its record naming the exe of `feedFolder`'s feed.
  void LeavePartial(size_t bytes, const char* feedFolder) {
    LauncherFeed feed;
    ASSERT_EQ(CheckLauncherFeed(FeedUrl(feedFolder), paths, &feed), FeedVerdict::kOffer);
    WriteFileBytes(paths.newExe, GoodExe().substr(0, bytes));
    WriteFileBytes(paths.newExe + kPartInfoSuffix, PartInfoText(feed));
    ClearRequestLogs();
  }
  const std::string kOld = "MZ the running launcher";
  bool blockDownload = false;  // the folder takes no file after the offer
  ScratchDir dir{L"launcher-swap"};
  SelfUpdatePaths paths = PathsForRunningExe(dir / L"RealmPorter.exe");
};

TEST_F(LauncherSwap, TheOfferedExeTakesTheLaunchersPlaceAndTheOldOneWaitsAside) {
  EXPECT_TRUE(Update("good"));
  EXPECT_EQ(ReadFileBytes(paths.exe), ReadFileBytes(Www(L"site", L"launcher\\good\\RealmPorter.exe")));
  EXPECT_EQ(ReadFileBytes(paths.oldExe), kOld);
  EXPECT_FALSE(Exists(paths.newExe));
  EXPECT_EQ(UpdateLines(),
            std::vector<std::string>{"LauncherUpdate: 9.9.9 in place of " + std::string(kLauncherVersion)});
}

TEST_F(LauncherSwap, ADownloadCutOffContinuesAtTheNextOfferOfItsExe) {
  LeavePartial(100000, "good");
  EXPECT_TRUE(Update("good"));
  // The first byte asked for with the offer: the size the site serves.
  EXPECT_EQ(ExeRanges(), (std::vector<std::string>{"bytes=0-0", "bytes=100000-"}));
  EXPECT_EQ(ReadFileBytes(paths.exe), GoodExe());
  EXPECT_FALSE(Exists(paths.newExe));
  EXPECT_FALSE(Exists(paths.newExe + kPartInfoSuffix));
}

// The hash/ feed names an exe of another digest: a .new recorded as that
// one is never continued as the good feed's.
TEST_F(LauncherSwap, ADownloadOfAnotherReleaseStartsOver) {
  LeavePartial(100000, "hash");
  EXPECT_TRUE(Update("good"));
  EXPECT_EQ(ExeRanges(), (std::vector<std::string>{"bytes=0-0", "-"}));
  EXPECT_EQ(ReadFileBytes(paths.exe), GoodExe());
  EXPECT_FALSE(Exists(paths.newExe + kPartInfoSuffix));
}

TEST_F(LauncherSwap, AnExeOfAnotherHashChangesNothing) {
  EXPECT_FALSE(Update("hash"));
  ExpectUnchanged("size or SHA-256 differs from the feed: " + std::string(kSite) + "/launcher/hash/RealmPorter.exe");
  // Not offered again at the next start, until the feed changes.
  LauncherFeed feed;
  EXPECT_EQ(CheckLauncherFeed(FeedUrl("hash"), paths, &feed), FeedVerdict::kKnownBad);
  EXPECT_EQ(CheckLauncherFeed(FeedUrl("good"), paths, &feed), FeedVerdict::kOffer);
  EXPECT_FALSE(Exists(paths.newExe));
}

// The tests run as root, for whom no folder is read-only: a folder in the
// way of the download's file stands in for one the player may not write.
TEST_F(LauncherSwap, AFolderThatTakesNoFileIsOfferedNothing) {
  MakeDirs(paths.newExe);
  ClearLog();
  LauncherFeed feed;
  EXPECT_EQ(CheckLauncherFeed(FeedUrl("good"), paths, &feed), FeedVerdict::kNoFolder);
  ExpectUnchanged("feed offers 9.9.9, but the launcher's folder is not writable");
}

TEST_F(LauncherSwap, AFolderThatTakesNoFileAfterTheOfferChangesNothing) {
  blockDownload = true;
  EXPECT_FALSE(Update("good"));
  ExpectUnchanged("folder not writable: ");
}

}  // namespace
