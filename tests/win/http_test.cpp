// Whole-body fetch and the server list sources against the loopback servers
// (HTTPS with a certificate whose name does not match the address).
#include "net/http.h"

#include <gtest/gtest.h>

#include <string>

#include "config/serverlist.h"
#include "config/serverlist_sources.h"
#include "config/settings.h"
#include "support.h"

using namespace testing_support;

namespace {

class Http : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearAllServers();
    ClearLog();
  }
};

TEST_F(Http, BodyOfExactlyEightMebibytesPassesOneMoreByteFails) {
  WriteFileBytes(Www(L"site", L"eight.bin"), PatternBytes(8388608, 1));
  WriteFileBytes(Www(L"site", L"eight1.bin"), PatternBytes(8388609, 1));
  std::string body;
  ASSERT_TRUE(HttpGetToString(std::string(kSite) + "/eight.bin", &body));
  EXPECT_EQ(body.size(), 8388608u);
  EXPECT_EQ(body, PatternBytes(8388608, 1));
  EXPECT_FALSE(HttpGetToString(std::string(kSite) + "/eight1.bin", &body));
  EXPECT_TRUE(body.empty());
}

TEST_F(Http, EmptyBodyAndErrorStatusesFail) {
  WriteFileBytes(Www(L"site", L"empty.txt"), "");
  WriteFileBytes(Www(L"site", L"small.txt"), "hello");
  std::string body;
  EXPECT_FALSE(HttpGetToString(std::string(kSite) + "/empty.txt", &body));
  EXPECT_FALSE(HttpGetToString(std::string(kSite) + "/missing.txt", &body));
  Control(kSite, "/__fault?path=/small.txt&kind=status&arg=206");
  EXPECT_FALSE(HttpGetToString(std::string(kSite) + "/small.txt", &body));
  std::string log = ReadLog();
  EXPECT_NE(log.find("HttpGetToString HTTP 404: https://127.0.0.1:18443/missing.txt"), std::string::npos) << log;
  EXPECT_NE(log.find("HttpGetToString HTTP 206: https://127.0.0.1:18443/small.txt"), std::string::npos) << log;
}

TEST_F(Http, ConnectionFailureIsLoggedWithTheError) {
  std::string body;
  EXPECT_FALSE(HttpGetToString("https://127.0.0.1:1/nothing", &body));
  EXPECT_NE(ReadLog().find("HttpGetToString failed: https://127.0.0.1:1/nothing err="), std::string::npos);
}

TEST_F(Http, OnlyALowerCaseHttpsSchemeGetsTheSecureFlags) {
  EXPECT_EQ(RequestFlagsFor("https://h/x"), 0x84803000u);
  EXPECT_EQ(RequestFlagsFor("HTTPS://h/x"), 0x84000000u);
  EXPECT_EQ(RequestFlagsFor("http://h/x"), 0x84000000u);
  WriteFileBytes(Www(L"site", L"small.txt"), "hello");
  std::string body;
  ASSERT_TRUE(HttpGetToString(std::string(kSite) + "/small.txt", &body)) << "name mismatch ignored";
  EXPECT_EQ(body, "hello");
  ASSERT_TRUE(HttpGetToString(std::string(kSitePlain) + "/small.txt", &body));
}

class ServerListSources : public Http {
 protected:
  void SetUp() override {
    Http::SetUp();
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    DeleteFileW(Www(L"site", L"serverlist.txt").c_str());
  }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey); }
  std::string CachedText() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return "<none>";
    std::vector<wchar_t> buf(70000, 0);
    DWORD size = static_cast<DWORD>(buf.size() * 2 - 2);
    LONG rc = RegQueryValueExW(key, L"ServerList", nullptr, nullptr, reinterpret_cast<BYTE*>(buf.data()), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || size < 2) return "<none>";
    return BytesFromCacheText(std::wstring_view(buf.data(), size / 2 - 1));
  }
};

TEST_F(ServerListSources, GoodRemoteListReplacesTheCache) {
  StoreCachedServerList("old|w|r:1|p:1|d\n");
  const std::string remote = "\xe6\x98\x9f\xe6\xa1\xa5|https://x/|a:1|a:1|new\nb|w|b:1|b:1|\n";
  WriteFileBytes(Www(L"site", L"serverlist.txt"), remote);
  EXPECT_EQ(LoadServerList(), 2);
  EXPECT_EQ(ServerAt(0)->name, "\xe6\x98\x9f\xe6\xa1\xa5");
  EXPECT_EQ(CachedText(), remote);
}

TEST_F(ServerListSources, ErrorPageLeavesTheCacheAsItWas) {
  StoreCachedServerList("cached|w|r:1|p:1|d\n");
  WriteFileBytes(Www(L"site", L"serverlist.txt"), "<html><body>502 Bad Gateway</body></html>\n");
  EXPECT_EQ(LoadServerList(), 1);
  EXPECT_EQ(ServerAt(0)->name, "cached");
  EXPECT_EQ(CachedText(), "cached|w|r:1|p:1|d\n");
}

TEST_F(ServerListSources, RemoteBodyIsCutAt32768Bytes) {
  std::string remote;
  while (remote.size() < 40000)
    remote += "realm" + std::to_string(remote.size()) + "|w|h:1|h:1|some description text\n";
  remote.resize(40000);
  WriteFileBytes(Www(L"site", L"serverlist.txt"), remote);
  EXPECT_GT(LoadServerList(), 0);
  EXPECT_EQ(CachedText(), remote.substr(0, 32768));
}

TEST_F(ServerListSources, CacheGivesBackTheBytesOfAListThatIsNotUtf8) {
  std::string remote = "\xff\xfe|w|r:1|p:1|d\n";  // a name no UTF-8 decoder keeps
  while (remote.size() < 40000) remote += "s|w|h:1|h:1|\xe6\x8f\x8f\xe8\xbf\xb0\n";
  while ((remote[kServerListFetchLimit] & 0xC0) != 0x80) remote.insert(remote.find('\n'), "x");
  WriteFileBytes(Www(L"site", L"serverlist.txt"), remote);
  ASSERT_GT(LoadServerList(), 0);
  const std::string cut = remote.substr(0, kServerListFetchLimit);  // ends inside a character
  EXPECT_EQ(CachedText(), cut);
  DeleteFileW(Www(L"site", L"serverlist.txt").c_str());
  ASSERT_GT(LoadServerList(), 1) << "from the cache";
  EXPECT_EQ(ServerAt(0)->name, "\xff\xfe");
  EXPECT_EQ(ServerAt(ServerCount() - 1)->description, cut.substr(cut.rfind('|') + 1));
}

TEST_F(ServerListSources, CacheOf65536BytesIsUsedOneMoreIsIgnored) {
  std::string text = "c|w|r:1|p:1|d\n";
  text += std::string(65535 - text.size(), 'x');
  StoreCachedServerList(text);
  EXPECT_EQ(LoadServerList(), 1);
  EXPECT_EQ(ServerAt(0)->name, "c");
  StoreCachedServerList(text + "x");
  EXPECT_EQ(LoadServerList(), 3);
  EXPECT_EQ(ServerAt(0)->name, ParseServerList(DefaultServerListText()) ? ServerAt(0)->name : "");
}

TEST_F(ServerListSources, NoListAnywhereGivesTheThreeDefaults) {
  EXPECT_EQ(LoadServerList(), 3);
  std::string firstDefault = ServerAt(0)->name;
  ParseServerList(DefaultServerListText());
  EXPECT_EQ(firstDefault, ServerAt(0)->name);
  EXPECT_EQ(CachedText(), "<none>");
}

}  // namespace
