#include "manifest/launcher_feed.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kHash(64, 'a');

std::string Feed(const std::string& version, const std::string& size, const std::string& sha, const std::string& url,
                 const std::string& notes) {
  std::string d = "{\"version\": " + version + ", \"size\": " + size + ", \"sha256\": " + sha + ", \"url\": " + url;
  if (!notes.empty()) d += ", \"notes\": " + notes;
  return d + "}";
}

// The document followed by blanks up to `size` bytes.
std::string Padded(const std::string& doc, std::size_t size) { return doc + std::string(size - doc.size(), ' '); }

TEST(LauncherVersion, ParsesOnlyThreePlainDecimalParts) {
  struct {
    const char* text;
    bool ok;
    const char* back;
  } cases[] = {
      {"1.0.0", true, "1.0.0"},     {"0.0.0", true, "0.0.0"}, {"65535.65535.65535", true, "65535.65535.65535"},
      {"12.3.40", true, "12.3.40"}, {"65536.0.0", false, ""}, {"1.0", false, ""},
      {"1.0.0.0", false, ""},       {"01.0.0", false, ""},    {"1.00.0", false, ""},
      {"+1.0.0", false, ""},        {"-1.0.0", false, ""},    {"1..0", false, ""},
      {"1.0.", false, ""},          {" 1.0.0", false, ""},    {"1.0.0 ", false, ""},
      {"a.b.c", false, ""},         {"", false, ""},          {"999999.0.0", false, ""},
  };
  for (const auto& c : cases) {
    LauncherVersion v;
    EXPECT_EQ(ParseLauncherVersion(c.text, &v), c.ok) << c.text;
    if (c.ok) EXPECT_EQ(FormatLauncherVersion(v), c.back) << c.text;
  }
}

TEST(LauncherVersion, ComparesPartByPartAsNumbers) {
  struct {
    const char *a, *b;
    int sign;
  } cases[] = {
      {"1.0.0", "1.0.0", 0},   {"1.0.1", "1.0.0", 1},  {"1.0.0", "1.0.1", -1}, {"1.10.0", "1.9.9", 1},
      {"2.0.0", "1.99.99", 1}, {"0.9.9", "1.0.0", -1}, {"1.2.10", "1.2.9", 1}, {"10.0.0", "9.0.0", 1},
  };
  for (const auto& c : cases) {
    LauncherVersion a, b;
    ASSERT_TRUE(ParseLauncherVersion(c.a, &a) && ParseLauncherVersion(c.b, &b));
    int r = CompareLauncherVersions(a, b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
  }
}

std::string Le32(std::uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

// A version block as a resource compiler lays it out: header, the key in
// UTF-16 with its terminator, padding, then VS_FIXEDFILEINFO.
std::string VersionBlock(std::size_t pad, std::uint32_t signature, std::uint32_t ms, std::uint32_t ls) {
  std::string b(6, '\0');
  for (const char* c = "VS_VERSION_INFO"; *c; ++c) b += {*c, '\0'};
  b += std::string(2 + pad, '\0');
  return b + Le32(signature) + Le32(0x10000) + Le32(ms) + Le32(ls);
}

TEST(LauncherVersion, ReadFromTheExecutablesVersionResource) {
  struct {
    std::string bytes;
    bool ok;
    const char* version;
  } cases[] = {
      {"MZ" + VersionBlock(2, 0xFEEF04BD, 0x00010002, 0x00030000), true, "1.2.3"},
      {"MZ" + VersionBlock(0, 0xFEEF04BD, 0xFFFF0000, 0x00070009), true, "65535.0.7"},
      {"MZ" + VersionBlock(2, 0xFEEF04BC, 0x00010002, 0x00030000), false, ""},
      {"MZ" + VersionBlock(2, 0xFEEF04BD, 0x00010002, 0x00030000).substr(0, 50), false, ""},  // cut short
      {"MZ" + VersionBlock(6, 0xFEEF04BD, 0x00010002, 0x00030000), false, ""},                // too far from its key
      {"MZ", false, ""},
  };
  for (const auto& c : cases) {
    LauncherVersion v;
    EXPECT_EQ(FindExeFileVersion(c.bytes, &v), c.ok) << c.version;
    if (c.ok) EXPECT_EQ(FormatLauncherVersion(v), c.version);
  }
}

TEST(LauncherFeed, TakesOnlyPlainCompleteDocuments) {
  const std::string v = "\"1.2.3\"", n = "4096", h = "\"" + kHash + "\"", u = "\"https://h.example/launcher/a.exe\"";
  struct {
    std::string doc;
    bool ok;
  } cases[] = {
      {Feed(v, n, h, u, ""), true},
      {Feed(v, n, h, u,
            "\""
            "\xe4\xbf\xae\xe6\xad\xa3"
            "\""),
       true},
      {Feed(v, n, h, "\"http://127.0.0.1:18443/launcher/RealmPorter.exe\"", ""), true},
      {Feed(v, "67108864", h, u, ""), true},
      {Feed(v, "67108865", h, u, ""), false},  // larger than any launcher
      {Feed(v, "0", h, u, ""), false},
      {Feed(v, "-1", h, u, ""), false},
      {Feed(v, "+4096", h, u, ""), false},
      {Feed(v, "04096", h, u, ""), false},
      {Feed(v, "\"4096\"", h, u, ""), false},
      {Feed(v, "4096x", h, u, ""), false},
      {Feed("1", n, h, u, "\"1.2.3\""), false},  // a bare value is not the next quoted text
      {Feed("\"1.2\"", n, h, u, ""), false},
      {Feed("\"v1.2.3\"", n, h, u, ""), false},
      {Feed(v, n, "\"" + std::string(64, 'A') + "\"", u, ""), false},
      {Feed(v, n, "\"" + std::string(63, 'a') + "\"", u, ""), false},
      {Feed(v, n, "\"" + std::string(63, 'a') + "g\"", u, ""), false},
      {Feed(v, n, h, "\"ftp://h.example/a.exe\"", ""), false},
      {Feed(v, n, h, "\"https:///a.exe\"", ""), false},
      {Feed(v, n, h, "\"https://\"", ""), false},  // only the scheme
      {Feed(v, n, h, "\"http://\"", ""), false},
      {Feed(v, n, h, "\"https://h\"", ""), true},
      {Feed(v, n, h, "\"https://h.example/a b.exe\"", ""), false},
      {Feed(v, n, h, "\"https://h.example/a\\\".exe\"", ""), false},
      {Feed(v, n, h, u, "\"line\\nbreak\""), false},
      {Feed(v, n, h, u, "\"tab\there\""), false},
      {Feed(v, n, h, u, "\"\xC0\xAF\""), false},      // overlong UTF-8
      {Feed(v, n, h, u, "\"\xED\xA0\x80\""), false},  // a surrogate
      {Feed(v, n, h, u, "\"" + std::string(600, 'x') + "\""), true},
      {Feed(v, n, h, u, "\"" + std::string(601, 'x') + "\""), false},
      {Feed(v, n, h, u, "12"), false},
      {"{\"size\": 4096, \"sha256\": " + h + ", \"url\": " + u + "}", false},
      {"{\"version\": " + v + ", \"sha256\": " + h + ", \"url\": " + u + "}", false},
      {"{\"version\": " + v + ", \"size\": 4096, \"url\": " + u + "}", false},
      {"{\"version\": " + v + ", \"size\": 4096, \"sha256\": " + h + "}", false},
      {Feed(v, n, h, u, "") + std::string(4096, ' '), false},  // a document past 4 KiB
      {Padded(Feed(v, n, h, u, ""), kLauncherFeedMaxBytes), true},
      {Padded(Feed(v, n, h, u, ""), kLauncherFeedMaxBytes + 1), false},
      {"{\"share\": 0, " + Feed(v, n, h, u, "").substr(1), true},
      {"{\"share\": 100, " + Feed(v, n, h, u, "").substr(1), true},
      {"{\"share\": 101, " + Feed(v, n, h, u, "").substr(1), false},
      {"{\"share\": 010, " + Feed(v, n, h, u, "").substr(1), false},
      {"{\"share\": \"10\", " + Feed(v, n, h, u, "").substr(1), false},
  };
  for (const auto& c : cases) {
    LauncherFeed f;
    EXPECT_EQ(ParseLauncherFeed(c.doc, &f), c.ok) << c.doc;
  }
}

// The build's records, as the operator's tool reads them from an exe.
TEST(ExeBuildFacts, ReadFromTheRecordsTheBuildWrites) {
  using namespace std::string_literals;
  const std::string endpoints = "RealmPorter endpoints: site=https://s/ mirrors=https://a/wow335/ https://b/wow335/\0"s;
  const std::string keys = "RealmPorter operator keys: aa11;bb22\0"s, keyless = "RealmPorter operator keys: none\0"s;
  ExeBuildFacts f, g;
  ASSERT_TRUE(ReadExeBuildFacts("MZ.."s + endpoints + "xx" + keys + endpoints, &f));
  EXPECT_TRUE(f.endpointsFound && f.keysFound);
  EXPECT_EQ(f.site, "https://s/");
  EXPECT_EQ(f.mirrors, "https://a/wow335/ https://b/wow335/");
  EXPECT_EQ(f.keys, (std::vector<std::string>{"aa11", "bb22"}));
  ASSERT_TRUE(ReadExeBuildFacts("MZ"s + keyless + "RealmPorter endpoints: \0"s, &g)) << "the bare prefixes";
  EXPECT_TRUE(g.keysFound && g.keys.empty() && !g.endpointsFound);
  EXPECT_FALSE(ReadExeBuildFacts(keys + keyless, &g)) << "two different key records";
  EXPECT_EQ(DescribeBuildChange(f, f), "");
  g = f;
  g.site = "https://t/";
  g.keys = {"aa11"};
  EXPECT_EQ(DescribeBuildChange(f, g), "site https://s/ -> https://t/; operator keys aa11, bb22 -> aa11");
}

TEST(LauncherFeed, WrittenDocumentsReadBackUnchanged) {
  struct {
    const char* version;
    std::uint64_t size;
    std::string url, notes;
    bool ok;
  } cases[] = {
      {"2.0.1", 1, "https://h.example/launcher/RealmPorter-2.0.1.exe", "\xe6\x96\xb0\xe7\x89\x88", true},
      {"0.0.1", 67108864, "http://127.0.0.1:18443/launcher/x.exe", "", true},
      {"1.0.0", 10, "https://h.example/a.exe", "a \"quoted\" word", false},
      {"1.0.0", 10, "https://h.example/a.exe", "back\\slash", false},
      {"1.0.0", 0, "https://h.example/a.exe", "", false},
      {"1.0.0", 10, "https://h.example/a b.exe", "", false},
  };
  for (const auto& c : cases) {
    LauncherFeed f;
    ASSERT_TRUE(ParseLauncherVersion(c.version, &f.version));
    f.size = c.size;
    f.sha256 = kHash;
    f.url = c.url;
    f.notes = c.notes;
    std::string doc;
    ASSERT_EQ(FormatLauncherFeed(f, &doc), c.ok) << c.url << " " << c.notes;
    if (!c.ok) continue;
    LauncherFeed back;
    ASSERT_TRUE(ParseLauncherFeed(doc, &back)) << doc;
    EXPECT_EQ(FormatLauncherVersion(back.version), c.version);
    EXPECT_EQ(back.size, c.size);
    EXPECT_EQ(back.sha256, kHash);
    EXPECT_EQ(back.url, c.url);
    EXPECT_EQ(back.notes, c.notes);
  }
}

}  // namespace
