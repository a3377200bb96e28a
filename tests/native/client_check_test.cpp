#include "download/client_check.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

const std::string kNew(64, 'a'), kOld(64, 'b');
const ManifestFile kFile{"Data/common.MPQ", 4000000, kNew};

FileProgress Entry(const std::string& sha, std::uint64_t size, std::uint64_t downloaded, bool complete) {
  FileProgress e;
  e.sha256 = sha;
  e.size = size;
  e.downloaded_bytes = downloaded;
  e.complete = complete;
  return e;
}

TEST(ClientCheck, JudgesEachFileFromDiskAndRecord) {
  const FileProgress partial = Entry(kNew, 4000000, 1000000, false);
  const FileProgress finishedOld = Entry(kOld, 3000000, 3000000, true);
  const FileProgress finishedNew = Entry(kNew, 4000000, 4000000, true);
  const FileProgress partialOld = Entry(kOld, 3000000, 1000, false);
  struct Row {
    const char* what;
    LocalFile local;
    const FileProgress* entry;
    bool needsHash;
    FileState state;
  } rows[] = {
      {"nothing there", {false, 0, false, false}, nullptr, false, FileState::Missing},
      {"nothing there, recorded", {false, 0, false, false}, &finishedNew, false, FileState::Missing},
      {"right size and hash", {true, 4000000, true, true}, nullptr, true, FileState::Fine},
      {"right size, wrong hash", {true, 4000000, true, false}, &finishedNew, true, FileState::Damaged},
      {"right size, not hashed", {true, 4000000, false, false}, nullptr, true, FileState::Damaged},
      {"shorter, no record", {true, 1000000, false, false}, nullptr, false, FileState::Damaged},
      {"shorter, this version's partial download", {true, 1000000, false, false}, &partial, false, FileState::Partial},
      {"partial entry but longer", {true, 5000000, false, false}, &partial, false, FileState::Damaged},
      // Resumed from its end, it would never be fetched again.
      {"full length, this version's download unfinished",
       {true, 4000000, true, false},
       &partial,
       true,
       FileState::Damaged},
      {"shorter, finished earlier version", {true, 3000000, false, false}, &finishedOld, false, FileState::Older},
      {"earlier version changed since", {true, 2999999, false, false}, &finishedOld, false, FileState::Damaged},
      {"earlier version never finished", {true, 3000000, false, false}, &partialOld, false, FileState::Damaged},
      {"finished this version, now shorter", {true, 1000000, false, false}, &finishedNew, false, FileState::Damaged},
      {"earlier version of the same size", {true, 4000000, true, false}, &finishedNew, true, FileState::Damaged},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(NeedsHash(kFile, r.local), r.needsHash) << r.what;
    EXPECT_EQ(JudgeFile(kFile, r.local, r.entry), r.state) << r.what;
  }
  FileProgress sameSizeOld = Entry(kOld, 4000000, 4000000, true);
  EXPECT_EQ(JudgeFile(kFile, {true, 4000000, true, false}, &sameSizeOld), FileState::Older);
  FileProgress upperCase = Entry(std::string(64, 'A'), 4000000, 10, false);
  EXPECT_EQ(JudgeFile(kFile, {true, 10, false, false}, &upperCase), FileState::Partial);
}

// The realm file the launcher rewrites at every start is the player's
// setting: there, it is fine whatever it holds; missing, it is fetched.
TEST(ClientCheck, TheRealmFileIsThePlayersSetting) {
  const struct {
    const char* path;
    bool setting;
  } rows[] = {{"Data/zhCN/realmlist.wtf", true},     {"data/ZHTW/REALMLIST.WTF", true},
              {"Data/realmlist.wtf", false},         {"realmlist.wtf", false},
              {"Data//realmlist.wtf", false},        {"Data/zhCN/x/realmlist.wtf", false},
              {"Data/zhCN/realmlist.wtf.bak", false}};
  for (const auto& r : rows) EXPECT_EQ(IsPlayersSetting(r.path), r.setting) << r.path;
  const ManifestFile realm{"Data/zhCN/realmlist.wtf", 20, kNew};
  EXPECT_FALSE(NeedsHash(realm, {true, 20, false, false}));
  EXPECT_EQ(JudgeFile(realm, {true, 20, false, false}, nullptr), FileState::Fine);
  EXPECT_EQ(JudgeFile(realm, {true, 31, false, false}, nullptr), FileState::Fine);
  EXPECT_EQ(JudgeFile(realm, {false, 0, false, false}, nullptr), FileState::Missing);
}

TEST(ClientCheck, ChoosesWhatToFetch) {
  const std::uint64_t mib = 1048576;
  struct Row {
    FileState state;
    std::uint64_t local, size;
    FetchWay way;
  } rows[] = {
      {FileState::Fine, 5 * mib, 5 * mib, FetchWay::None},    {FileState::Partial, mib, 5 * mib, FetchWay::Resume},
      {FileState::Missing, 0, 5 * mib, FetchWay::Whole},      {FileState::Damaged, 5 * mib, 5 * mib, FetchWay::Blocks},
      {FileState::Older, 4 * mib, 5 * mib, FetchWay::Blocks}, {FileState::Older, 4 * mib, mib, FetchWay::Blocks},
      {FileState::Older, 4 * mib, mib - 1, FetchWay::Whole},  {FileState::Damaged, 0, 5 * mib, FetchWay::Whole},
      {FileState::Damaged, 100, 200, FetchWay::Whole},
  };
  for (const Row& r : rows)
    EXPECT_EQ(ChooseFetch(r.state, r.local, r.size), r.way)
        << static_cast<int>(r.state) << " " << r.local << " " << r.size;
}

TEST(ClientCheck, ObsoleteAreOnlyTheLaunchersFilesTheNewVersionDropped) {
  ProgressDocument record;
  record.product = "wow335-normal";
  record.manifest_id = "v1";
  record.files["Data/patch-4.MPQ"] = Entry(kOld, 10, 10, true);      // dropped by v2
  record.files["Data/patch-5.MPQ"] = Entry(kOld, 10, 4, false);      // never finished: not ours to judge
  record.files["Data/common.MPQ"] = Entry(kOld, 10, 10, true);       // still listed
  record.files["data\\PATCH-2.mpq."] = Entry(kOld, 10, 10, true);    // still listed, as Windows reads it
  record.files["../outside.txt"] = Entry(kOld, 10, 10, true);        // never a path outside
  record.files["Interface/AddOns/x.lua"] = Entry(kOld, 1, 1, true);  // recorded and dropped
  std::vector<ManifestFile> v2 = {
      {"Data/common.MPQ", 20, kNew}, {"Data/patch-2.MPQ", 20, kNew}, {"Data/new.MPQ", 20, kNew}};
  EXPECT_EQ(ObsoleteFiles(record, v2), (std::vector<std::string>{"Data/patch-4.MPQ", "Interface/AddOns/x.lua"}));
  EXPECT_TRUE(ObsoleteFiles(ProgressDocument{}, v2).empty());
}

TEST(ClientCheck, DecidesTheEditionOfAFolder) {
  const std::string s1(64, '1'), s2(64, '2'), s3(64, '3');
  const std::vector<ManifestFile> normal = {
      {"Wow.exe", 100, s1}, {"Data/common.MPQ", 1000, s1}, {"Data/patch.MPQ", 500, s1}, {"Data/zhCN/a.MPQ", 70, s1}};
  const std::vector<ManifestFile> hd = {
      {"Wow.exe", 100, s1}, {"Data/common.MPQ", 1000, s1}, {"Data/patch.MPQ", 900, s2}, {"Data/zhCN/a.MPQ", 70, s1}};
  const std::vector<ManifestFile> hdPlus = {{"Wow.exe", 100, s1},
                                            {"Data/common.MPQ", 1000, s1},
                                            {"Data/patch.MPQ", 500, s1},
                                            {"Data/zhCN/a.MPQ", 70, s1},
                                            {"Data/patch-hd.MPQ", 300, s3}};
  using Disk = std::map<std::string, std::uint64_t>;
  struct Row {
    const char* what;
    Disk disk;
    const std::vector<ManifestFile>* hdFiles;
    Edition edition;
  } rows[] = {
      {"empty folder", {}, &hd, Edition::Neither},
      {"another program", {{"Wow.exe", 5}}, &hd, Edition::Neither},
      {"normal client",
       {{"Wow.exe", 100}, {"Data/common.MPQ", 1000}, {"Data/patch.MPQ", 500}, {"Data/zhCN/a.MPQ", 70}},
       &hd,
       Edition::Normal},
      {"HD client",
       {{"Wow.exe", 100}, {"Data/common.MPQ", 1000}, {"Data/patch.MPQ", 900}, {"Data/zhCN/a.MPQ", 70}},
       &hd,
       Edition::Hd},
      {"HD client, other files damaged", {{"Wow.exe", 3}, {"Data/patch.MPQ", 900}}, &hd, Edition::Hd},
      {"the differing archive damaged",
       {{"Wow.exe", 100}, {"Data/common.MPQ", 1000}, {"Data/patch.MPQ", 1}},
       &hd,
       Edition::Unclear},
      {"differing archive missing", {{"Wow.exe", 100}, {"Data/common.MPQ", 1000}}, &hd, Edition::Unclear},
      {"an edition that adds a file, without it",
       {{"Wow.exe", 100}, {"Data/common.MPQ", 1000}, {"Data/patch.MPQ", 500}, {"Data/zhCN/a.MPQ", 70}},
       &hdPlus,
       Edition::Normal},
      {"an edition that adds a file, with it",
       {{"Wow.exe", 100},
        {"Data/common.MPQ", 1000},
        {"Data/patch.MPQ", 500},
        {"Data/zhCN/a.MPQ", 70},
        {"Data/patch-hd.MPQ", 300}},
       &hdPlus,
       Edition::Hd},
  };
  for (const Row& r : rows) {
    auto sizeOf = [&r](const std::string& path, std::uint64_t* size) {
      auto it = r.disk.find(path);
      if (it == r.disk.end()) return false;
      *size = it->second;
      return true;
    };
    EXPECT_EQ(DecideEdition(normal, *r.hdFiles, sizeOf), r.edition) << r.what;
  }
}

TEST(ClientCheck, RoomForARepair) {
  struct Row {
    const char* what;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> files;
    unsigned atOnce;
    std::uint64_t needed;
  } rows[] = {
      {"nothing to repair", {}, 3, 0},
      {"one damaged file of the same size", {{1000, 1000}}, 1, 1000},
      {"a missing file", {{1000, 0}}, 1, 2000},
      {"a file that grows, a new one", {{1000, 600}, {300, 0}}, 1, 400 + 300 + 1000},
      {"a file that shrinks frees nothing before its rename", {{500, 900}, {100, 100}}, 1, 500},
      {"three mirrors make the three largest at once",
       {{100, 100}, {900, 900}, {500, 500}, {700, 700}},
       3,
       900 + 700 + 500},
      {"more mirrors than files", {{1000, 600}, {300, 0}}, 3, 400 + 300 + 1000 + 300},
      {"no mirror count still makes one", {{1000, 1000}}, 0, 1000},
  };
  for (const Row& r : rows) EXPECT_EQ(RepairRoomNeeded(r.files, r.atOnce), r.needed) << r.what;
}

TEST(ClientCheck, CountsWhatACheckFound) {
  CheckCounts c;
  CountState(&c, FileState::Fine, 10);
  CountState(&c, FileState::Damaged, 20);
  CountState(&c, FileState::Older, 40);
  CountState(&c, FileState::Partial, 80);
  CountState(&c, FileState::Missing, 160);
  EXPECT_EQ(c.checked, 5u);
  EXPECT_EQ(c.fine, 1u);
  EXPECT_EQ(c.damaged, 1u);
  EXPECT_EQ(c.older, 1u);
  EXPECT_EQ(c.missing, 2u);
  EXPECT_EQ(c.bytesToFetch, 300u);
}

}  // namespace
