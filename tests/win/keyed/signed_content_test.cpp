// The launcher built with the test key (tests/data/keys/test.pub) against
// content that tests/tools/signed_e2e.sh signed with the test key's private
// half, using the operator's tool, before it started this program: the site
// serves signed.zip, serverlist-signed.txt and their .sig files.
#include <gtest/gtest.h>

#include <string>

#include "app/jobs.h"
#include "app/messages.h"
#include "config/serverlist.h"
#include "config/serverlist_sources.h"
#include "config/settings.h"
#include "install/install.h"
#include "hash/sha256.h"
#include "manifest/signature_win.h"
#include "support.h"

using namespace testing_support;

namespace {

// CNG itself: the signature of the pack verifies over its digest, and one
// flipped bit of the signature or of the digest does not.
TEST(Signed, CngVerifiesAGoodSignatureOnly) {
  ASSERT_TRUE(OperatorKeysBuiltIn());
  std::string hex, sig = ReadFileBytes(Www(L"site", L"signed.zip.sig"));
  Sha256Digest digest;
  ASSERT_TRUE(Sha256HexOfString(ReadFileBytes(Www(L"site", L"signed.zip")), &hex));
  ASSERT_TRUE(DigestFromHex(hex, &digest));
  EXPECT_TRUE(SignatureVerifies(sig, digest, kOperatorKeys));
  SignatureLine line;
  ASSERT_TRUE(ParseSignatureLine(sig, &line));
  line.rs[40] ^= 0x01;
  EXPECT_FALSE(SignatureVerifies(FormatSignatureLine(line), digest, kOperatorKeys));
  digest[0] ^= 0x80;
  EXPECT_FALSE(SignatureVerifies(sig, digest, kOperatorKeys));
  EXPECT_FALSE(SignatureVerifies(sig, digest, OperatorKeys{}));
}

class SignedPack : public ::testing::Test {
 protected:
  // Installs signed.zip (served with `sigName` as its .sig) into a game
  // folder whose Interface holds the player's keep.txt.
  int Install(const std::wstring& sigName) {
    ClearAllServers();
    ClearLog();
    std::wstring served = Www(L"site", L"pack.zip");
    WriteFileBytes(served, ReadFileBytes(Www(L"site", L"signed.zip")));
    DeleteFileW((served + L".sig").c_str());
    if (!sigName.empty()) WriteFileBytes(served + L".sig", ReadFileBytes(Www(L"site", sigName)));
    MakeDirs(game + L"\\Interface");
    WriteFileBytes(game + L"\\Interface\\keep.txt", "mine");
    WriteFileBytes(game + L"\\Wow.exe", "MZ");
    MessageRecorder recorder;
    AddonJob job = PackButtonJob(recorder.hwnd(), game, dir / L"pack.zip", std::string(kSite) + "/pack.zip");
    AddonBusy = true;
    AddonWorker(std::move(job));
    recorder.Pump();
    for (const Recorded& m : recorder.messages)
      if (m.msg == WMU_ADDON_DONE) return static_cast<int>(m.wParam);
    return -1;
  }
  ScratchDir dir{L"signed-pack"};
  std::wstring game = dir / L"game";
};

TEST_F(SignedPack, ASignedPackIsInstalled) {
  EXPECT_EQ(Install(L"signed.zip.sig"), kJobDone);
  EXPECT_TRUE(Exists(game + L"\\Interface\\AddOns\\Signed\\Signed.toc"));
}

TEST_F(SignedPack, APackWithAnotherKeysSignatureChangesNothing) {
  EXPECT_EQ(Install(L"signed.zip.other.sig"), kJobUnsigned);
  EXPECT_EQ(ReadFileBytes(game + L"\\Interface\\keep.txt"), "mine");
  EXPECT_FALSE(Exists(game + L"\\Interface\\AddOns"));
  EXPECT_FALSE(Exists(dir / L"pack.zip")) << "the cached pack is deleted";
  EXPECT_NE(ReadLog().find("AddonWorker signature invalid: " + std::string(kSite) + "/pack.zip"), std::string::npos);
}

TEST_F(SignedPack, APackWithoutSignatureChangesNothing) {
  EXPECT_EQ(Install(L""), kJobUnsigned);
  EXPECT_EQ(ReadFileBytes(game + L"\\Interface\\keep.txt"), "mine");
  EXPECT_FALSE(Exists(game + L"\\Interface\\AddOns"));
}

class SignedServerList : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearLog();
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    StoreCachedServerList("cached|https://c/|c:1|c:1|\n");
    list = Www(L"site", L"serverlist.txt");
    WriteFileBytes(list, ReadFileBytes(Www(L"site", L"serverlist-signed.txt")));
    WriteFileBytes(list + L".sig", ReadFileBytes(Www(L"site", L"serverlist-signed.txt.sig")));
  }
  void TearDown() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    DeleteFileW(list.c_str());
    DeleteFileW((list + L".sig").c_str());
  }
  std::wstring list;
};

TEST_F(SignedServerList, ASignedListIsTaken) {
  EXPECT_EQ(LoadServerList(), 1);
  EXPECT_EQ(ServerAt(0)->name, "signed");
}

TEST_F(SignedServerList, AListChangedAfterSigningCountsAsAFailedFetch) {
  WriteFileBytes(list, ReadFileBytes(list) + "evil|https://e/|e:1|e:1|\n");
  EXPECT_EQ(LoadServerList(), 1);
  EXPECT_EQ(ServerAt(0)->name, "cached");
  EXPECT_NE(ReadLog().find("LoadServerList signature invalid: https://127.0.0.1:18443/serverlist.txt"),
            std::string::npos);
}

}  // namespace
