// Digests on CNG and on the processor's SHA instructions, the progress file, install-path checks and the manifest
// fetch over the three loopback mirrors.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "download/take_manifest.h"
#include "manifest/canonical.h"
#include "manifest/client_manifest.h"
#include "manifest/install_paths.h"
#include "manifest/manifest_choice.h"
#include "manifest/progress.h"
#include "hash/sha256.h"
#include "hash/sha256_pipe.h"
#include "hash/sha256_stream.h"
#include "hash/sha256_x86.h"
#include "net/text.h"
#include "support.h"

using namespace testing_support;

namespace {

TEST(Sha256Cng, StringsAndFiles) {
  ScratchDir dir(L"sha");
  std::string out;
  ASSERT_TRUE(Sha256HexOfString("", &out));
  EXPECT_EQ(out, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  WriteFileBytes(dir / L"empty", "");
  ASSERT_TRUE(Sha256HexOfFile(dir / L"empty", &out));
  EXPECT_EQ(out, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  std::string mib = PatternBytes(1048576, 3);
  WriteFileBytes(dir / L"mib", mib);
  std::string fromString, fromFile;
  ASSERT_TRUE(Sha256HexOfString(mib, &fromString));
  ASSERT_TRUE(Sha256HexOfFile(dir / L"mib", &fromFile));
  EXPECT_EQ(fromFile, fromString);
  std::string big = PatternBytes(3 * 1048576 + 17, 4);
  WriteFileBytes(dir / L"big", big);
  ASSERT_TRUE(Sha256HexOfString(big, &fromString));
  ASSERT_TRUE(Sha256HexOfFile(dir / L"big", &fromFile));
  EXPECT_EQ(fromFile, fromString);

  out = "untouched";
  EXPECT_FALSE(Sha256HexOfFile(dir / L"missing", &out));
  EXPECT_FALSE(Sha256HexOfFile(dir.path(), &out));
  EXPECT_EQ(out, "untouched");
}

// The stream on the processor's SHA instructions gives CNG's digest for the
// same bytes fed in the same pieces, across Reset and from a file.
std::string StreamHex(bool platformOnly, const std::string& data, size_t piece) {
  Sha256UsePlatformOnly(platformOnly);
  Sha256Stream h;
  h.Update("thrown away", 11);
  h.Reset();
  for (size_t at = 0; at < data.size(); at += piece) h.Update(data.data() + at, std::min(piece, data.size() - at));
  std::string out;
  EXPECT_TRUE(h.Finish(&out));
  Sha256UsePlatformOnly(false);
  return out;
}

TEST(Sha256Cng, ProcessorInstructionsAgreeWithCng) {
  if (!Sha256X86Available()) GTEST_SKIP() << "this processor has no SHA instructions";
  EXPECT_EQ(StreamHex(false, "abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string data = PatternBytes(2 * 1048576 + 333, 9);
  for (size_t n : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 4096u, 2097485u})
    for (size_t piece : {1u, 64u, 1000u, 1048576u})
      if (n <= 4096 || piece >= 1000)
        ASSERT_EQ(StreamHex(false, data.substr(0, n), piece), StreamHex(true, data.substr(0, n), piece))
            << n << " bytes in pieces of " << piece;

  ScratchDir dir(L"sha-x86");
  WriteFileBytes(dir / L"f", data);
  std::string fromFile, fromCng;
  ASSERT_TRUE(Sha256HexOfFile(dir / L"f", &fromFile));
  Sha256UsePlatformOnly(true);
  ASSERT_TRUE(Sha256HexOfFile(dir / L"f", &fromCng));
  Sha256UsePlatformOnly(false);
  EXPECT_EQ(fromFile, fromCng);
}

// The pipe hashes on its own thread what it is handed, in order: filled
// buffers and copied pieces mixed, more than its ring holds at once.
TEST(Sha256Pipe, HashesTheBytesInTheirOrder) {
  const std::string data = PatternBytes(6 * Sha256Pipe::kSlotBytes + 77, 5);
  for (size_t n : {0u, 1u, 65536u, 1048577u, 6291533u}) {
    const std::string part = data.substr(0, n);
    std::string want;
    ASSERT_TRUE(Sha256HexOfString(part, &want));
    Sha256Pipe pipe;
    for (size_t at = 0, turn = 0; at < part.size(); ++turn) {
      // Every other piece through a slot, the others copied in.
      const size_t piece = std::min(part.size() - at, turn % 2 ? Sha256Pipe::kSlotBytes : size_t{70000});
      if (turn % 2) {
        std::memcpy(pipe.Slot(), part.data() + at, piece);
        pipe.Submit(piece);
      } else {
        pipe.Update(part.data() + at, piece);
      }
      at += piece;
    }
    std::string got;
    ASSERT_TRUE(pipe.Finish(&got));
    EXPECT_EQ(got, want) << n << " bytes";
  }
}

class ProgressFile : public ::testing::Test {
 protected:
  void SetUp() override {
    manifest_.product = "wow335-hd";
    manifest_.manifest_id = "id-1";
    manifest_.install_root = "[HD]Wow3.3.5a";
  }
  ClientManifest manifest_;
  ScratchDir dir_{L"progress-\x5ba2\x6237"};
};

TEST_F(ProgressFile, FreshFolderGetsTheFoldersAndAnEmptyTable) {
  std::wstring path = ProgressFilePath(dir_.path(), manifest_.product);
  EXPECT_EQ(path, dir_.path() + L"\\.ravelgap\\progress\\wow335-hd.json");
  EXPECT_TRUE(Exists(dir_ / L".ravelgap\\progress"));
  ProgressState s;
  EXPECT_FALSE(LoadProgress(path, manifest_, dir_.path(), &s));
  EXPECT_TRUE(s.files.empty());
  EXPECT_EQ(s.manifest_id, "id-1");
  EXPECT_EQ(s.install_dir, dir_.path());
}

TEST_F(ProgressFile, SavedEntriesComeBackForTheSameManifestAndFolder) {
  std::wstring path = ProgressFilePath(dir_.path(), manifest_.product);
  ProgressState s;
  LoadProgress(path, manifest_, dir_.path(), &s);
  s.files["Wow.exe"] = {100, "aa", 100, true};
  s.files["Data/x.MPQ"] = {200, "bb", 50, false};
  ASSERT_TRUE(SaveProgress(path, s));
  EXPECT_FALSE(Exists(path + L".tmp"));
  std::string text = ReadFileBytes(path);
  EXPECT_EQ(text.find('\r'), std::string::npos);

  ProgressState back;
  ASSERT_TRUE(LoadProgress(path, manifest_, dir_.path(), &back));
  ASSERT_EQ(back.files.size(), 2u);
  EXPECT_TRUE(back.files["Wow.exe"].complete);
  EXPECT_FALSE(back.files["Data/x.MPQ"].complete);
  EXPECT_EQ(back.files["Data/x.MPQ"].downloaded_bytes, 50u);

  // Only the letter case of the folder differs: entries kept.
  std::wstring upper = dir_.path();
  CharUpperW(upper.data());
  ASSERT_TRUE(LoadProgress(path, manifest_, upper, &back));
  EXPECT_EQ(back.files.size(), 2u);

  // Another folder, another identity: dropped.
  EXPECT_FALSE(LoadProgress(path, manifest_, dir_.path() + L"2", &back));
  EXPECT_TRUE(back.files.empty());
  ClientManifest changed = manifest_;
  changed.manifest_id = "id-2";
  EXPECT_FALSE(LoadProgress(path, changed, dir_.path(), &back));
  EXPECT_TRUE(back.files.empty());
}

TEST_F(ProgressFile, SaveReplacesTheOldFileInOneStep) {
  std::wstring path = ProgressFilePath(dir_.path(), manifest_.product);
  WriteFileBytes(path, "old");
  ProgressState s;
  s.product = "wow335-hd";
  s.manifest_id = "id-1";
  s.files["a"] = {1, "h", 1, true};
  ASSERT_TRUE(SaveProgress(path, s));
  EXPECT_NE(ReadFileBytes(path).find("\"a\": {\"size\": 1"), std::string::npos);
  // A save into a missing folder fails and leaves nothing behind.
  EXPECT_FALSE(SaveProgress(dir_ / L"nowhere\\p.json", s));
}

TEST(InstallPathsWin, ContainmentAndParentFolders) {
  ScratchDir dir(L"paths");
  std::wstring install = dir / L"Client";
  EXPECT_TRUE(IsInsideInstallDir(install, install + L"\\Data\\x"));
  std::wstring upper = install;
  CharUpperW(upper.data());
  EXPECT_TRUE(IsInsideInstallDir(install, upper + L"\\Data\\x"));
  EXPECT_FALSE(IsInsideInstallDir(install, dir / L"Client2\\x"));
  EXPECT_FALSE(IsInsideInstallDir(install, install + L"\\..\\x"));

  ClearLog();
  std::wstring file = install + L"\\Data\\zhCN\\x.MPQ";
  ASSERT_TRUE(CreateParentDirectories(file));
  EXPECT_TRUE(Exists(install + L"\\Data\\zhCN"));
  EXPECT_FALSE(Exists(file));
  EXPECT_TRUE(CreateParentDirectories(file)) << "existing folders are fine";

  WriteFileBytes(dir / L"plain", "x");
  EXPECT_FALSE(CreateParentDirectories(dir / L"plain\\sub\\x"));
  EXPECT_NE(ReadLog().find("CreateDirectoryW failed: "), std::string::npos);
}

// A manifest document as the operator tool writes it, with its identity.
std::string MakeManifest(const std::string& product, const std::string& body = "hello",
                         const char* declaredId = nullptr, const char* createdAt = "2026-01-01T00:00:00Z") {
  std::string hash;
  Sha256HexOfString(body, &hash);
  std::string doc = "{\n  \"schema_version\": 1,\n  \"manifest_id\": \"@ID@\",\n  \"product\": \"" + product + "\",\n";
  doc += "  \"display_name\": \"D\",\n";
  if (createdAt) doc += "  \"created_at\": \"" + std::string(createdAt) + "\",\n";
  doc +=
      "  \"install_root\": \"Client\",\n  \"total_bytes\": " + std::to_string(body.size()) +
      ",\n  \"file_count\": 1,\n  \"download\": {\"mode\": \"mirror\", \"url_template\": \"T\", \"user_agent\": \"U\","
      " \"range_supported\": \"true\", \"max_connections_per_mirror\": 1, \"max_total_connections\": 3},\n"
      "  \"mirrors\": [\"https://127.0.0.1:18082/wow335/\"],\n"
      "  \"files\": [{\"path\": \"Wow.exe\", \"size\": " +
      std::to_string(body.size()) + ", \"sha256\": \"" + hash + "\"}]\n}\n";
  std::string id;
  ComputeManifestId(doc, &id);
  std::string declared = declaredId ? declaredId : id;
  doc.replace(doc.find("@ID@"), 4, declared);
  return doc;
}

class FetchManifest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearAllServers();
    ClearLog();
    for (const wchar_t* m : {L"m1", L"m2", L"m3"}) {
      MakeDirs(Www(m, L"wow335"));
      DeleteFileW(Www(m, L"wow335\\wow335-hd.json").c_str());
    }
  }
};

TEST_F(FetchManifest, FirstMirror404SecondServesIt) {
  WriteFileBytes(Www(L"m2", L"wow335\\wow335-hd.json"), MakeManifest("wow335-hd"));
  ClientManifest m;
  std::string error;
  ASSERT_TRUE(FetchClientManifest("wow335-hd", &m, &error));
  EXPECT_EQ(m.files.size(), 1u);
  std::string log = ReadLog();
  size_t a = log.find("HttpGetToString HTTP 404: https://127.0.0.1:18082/wow335/wow335-hd.json");
  size_t b = log.find("FetchClientManifest failed: https://127.0.0.1:18082/wow335/wow335-hd.json");
  size_t c = log.find("FetchClientManifest ok: wow335-hd files=1 from https://127.0.0.2:18082/wow335/wow335-hd.json");
  ASSERT_NE(a, std::string::npos) << log;
  ASSERT_NE(b, std::string::npos) << log;
  ASSERT_NE(c, std::string::npos) << log;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_EQ(log.find("mismatch"), std::string::npos);
}

TEST_F(FetchManifest, WrongDeclaredIdIsAcceptedWithTheComputedOne) {
  std::string right;
  ASSERT_TRUE(ComputeManifestId(MakeManifest("wow335-hd"), &right));
  WriteFileBytes(Www(L"m1", L"wow335\\wow335-hd.json"), MakeManifest("wow335-hd", "hello", "0123"));
  ClientManifest m;
  std::string error;
  ASSERT_TRUE(FetchClientManifest("wow335-hd", &m, &error));
  EXPECT_EQ(m.manifest_id, right);
  EXPECT_NE(ReadLog().find("FetchClientManifest manifest_id mismatch declared=0123 computed=" + right),
            std::string::npos);
}

TEST_F(FetchManifest, MissingIdentityKeyIsRejectedOnThatMirror) {
  WriteFileBytes(Www(L"m1", L"wow335\\wow335-hd.json"), MakeManifest("wow335-hd", "a", nullptr, nullptr));
  WriteFileBytes(Www(L"m3", L"wow335\\wow335-hd.json"), MakeManifest("wow335-hd", "b"));
  ClientManifest m;
  std::string error;
  ASSERT_TRUE(FetchClientManifest("wow335-hd", &m, &error));
  EXPECT_EQ(m.files[0].size, 1u);
  std::string log = ReadLog();
  EXPECT_NE(log.find("FetchClientManifest canonical id failed: https://127.0.0.1:18082/wow335/wow335-hd.json"),
            std::string::npos);
  EXPECT_NE(log.find("from https://127.0.0.3:18008/wow335/wow335-hd.json"), std::string::npos);
}

// The newest manifest names only the first mirror, which still offers an
// older one: no mirror serves it yet, so the job is told the server is being
// updated, not that the network failed.
TEST_F(FetchManifest, ANewestManifestWhoseMirrorsAllOfferAnotherIsNotTaken) {
  WriteFileBytes(Www(L"m1", L"wow335\\wow335-hd.json"), MakeManifest("wow335-hd", "old"));
  WriteFileBytes(Www(L"m2", L"wow335\\wow335-hd.json"), MakeManifest("wow335-hd", "new", nullptr, "2026-02-01"));
  ClientManifest m;
  std::string error;
  EXPECT_FALSE(FetchClientManifest("wow335-hd", &m, &error));
  EXPECT_EQ(error, Gbk(kServerUpdatingText));
  EXPECT_NE(ReadLog().find("FetchClientManifest no mirror serves wow335-hd from https://127.0.0.2:18082/"),
            std::string::npos);
}

TEST_F(FetchManifest, AllMirrorsFailingGivesTheErrorText) {
  WriteFileBytes(Www(L"m2", L"wow335\\wow335-hd.json"), "{\"product\": \"no files\"}");
  ClientManifest m;
  std::string error;
  EXPECT_FALSE(FetchClientManifest("wow335-hd", &m, &error));
  EXPECT_EQ(error,
            "\xce\xde\xb7\xa8\xb4\xd3\xbe\xb5\xcf\xf1\xb7\xfe\xce\xf1\xc6\xf7\xbb\xf1\xc8\xa1\xbf\xcd\xbb\xa7\xb6\xcb"
            "\xc7\xe5\xb5\xa5\xa3\xac\xc7\xeb\xbc\xec\xb2\xe9\xcd\xf8\xc2\xe7\xa1\xa3");  // GBK
  EXPECT_NE(ReadLog().find("FetchClientManifest parse failed: https://127.0.0.2:18082/wow335/wow335-hd.json"),
            std::string::npos);
}

}  // namespace
