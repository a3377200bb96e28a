#include "config/serverlist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct LineCase {
  const char* text;
  int count;  // entries produced; 0 = list left as it was
  ServerEntry first;
};

const LineCase kLineCases[] = {
    {"a|b|c|d", 1, {"a", "b", "c", "d", ""}},
    {"a|b|c|d|", 1, {"a", "b", "c", "d", ""}},
    {"a|b|c|", 0, {}},
    {"a|b|c||", 1, {"a", "b", "c", "", ""}},
    {"|b|c|d|e", 0, {}},
    {"a|b||d|e", 1, {"a", "b", "", "d", "e"}},
    {"a|b|c|d|e|f", 1, {"a", "b", "c", "d", "e"}},
    {"\ta | b |c|d|e ", 1, {"a ", " b ", "c", "d", "e"}},
    {"a|b|c|d|e\r\n", 1, {"a", "b", "c", "d", "e"}},
    {"a|b|c|d||", 1, {"a", "b", "c", "d", ""}},
    {"[Config]\nno bar here\n\n   \n", 0, {}},
    {"[config]|x|y|z", 1, {"[config]", "x", "y", "z", ""}},
    {"\xEF\xBB\xBF"
     "a|b|c|d",
     1,
     {"\xEF\xBB\xBF"
      "a",
      "b", "c", "d", ""}},
    {"a", 0, {}},
    {"", 0, {}},
    {"|||||", 0, {}},
};

class ServerListLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(ServerListLines, ParsesAsDocumented) {
  const LineCase& c = GetParam();
  ASSERT_EQ(ParseServerList("keep|w|r|p|d"), 1);
  EXPECT_EQ(ParseServerList(c.text), c.count) << c.text;
  ServerEntry e;
  ASSERT_TRUE(GetServerEntry(0, &e));
  if (c.count == 0) {
    EXPECT_EQ(e.name, "keep") << "a text without entries must leave the list alone";
    return;
  }
  EXPECT_EQ(e.name, c.first.name);
  EXPECT_EQ(e.website, c.first.website);
  EXPECT_EQ(e.realm, c.first.realm);
  EXPECT_EQ(e.patch, c.first.patch);
  EXPECT_EQ(e.description, c.first.description);
}

INSTANTIATE_TEST_SUITE_P(Table, ServerListLines, ::testing::ValuesIn(kLineCases));

TEST(ServerList, KeepsOrderAndDuplicatesAndReadsAfterConfig) {
  const char* text =
      "one|w1|r1|p1|d1\r\n"
      "[Config]\r\n"
      "two|w2|r2|p2\r\n"
      "one|w1|r1|p1|d1\r\n";
  ASSERT_EQ(ParseServerList(text), 3);
  EXPECT_EQ(ServerAt(0)->name, "one");
  EXPECT_EQ(ServerAt(1)->name, "two");
  EXPECT_EQ(ServerAt(2)->name, "one");
  EXPECT_EQ(ServerAt(1)->description, "");
}

TEST(ServerList, ReadersCheckTheirIndex) {
  ASSERT_EQ(ParseServerList("a|b|c|d|e\nf|g|h|i|j"), 2);
  ServerEntry e{"untouched", "", "", "", ""};
  EXPECT_FALSE(GetServerEntry(-1, &e));
  EXPECT_FALSE(GetServerEntry(2, &e));
  EXPECT_EQ(e.name, "untouched");
  EXPECT_EQ(ServerAt(2), nullptr);
  EXPECT_EQ(ServerAt(-1), nullptr);
  ClearServerList();
  EXPECT_EQ(ServerCount(), 0);
  EXPECT_EQ(ServerAt(0), nullptr);
}

TEST(ServerList, LfAndCrLfGiveTheSameEntries) {
  ParseServerList("x|1|2|3|4\ny|5|6|7|8\n");
  std::vector<std::string> lf = {ServerAt(0)->description, ServerAt(1)->description};
  ParseServerList("x|1|2|3|4\r\ny|5|6|7|8\r\n");
  EXPECT_EQ(lf[0], ServerAt(0)->description);
  EXPECT_EQ(lf[1], ServerAt(1)->description);
}

// The build checks the built-in list (REALMPORTER_SERVER_LIST) with these
// rules at compile time.
static_assert(CountServerListEntries("a|b|c|d\n[Config]\nx|y\n|w|r|p\n  q|w|r|p|d|e  \r\n") == 2);
static_assert(CountServerListEntries("") == 0 && CountServerListEntries("a|b|c|\n") == 0);

TEST(ServerList, DefaultTextHasThreeFullEntriesThenConfig) {
  std::string_view text = DefaultServerListText();
  EXPECT_EQ(text.size(), 450u);
  EXPECT_EQ(text.substr(text.size() - 9), "[Config]\n");
  ASSERT_EQ(ParseServerList(text), 3);
  for (int i = 0; i < 3; ++i) {
    const ServerEntry* e = ServerAt(i);
    EXPECT_FALSE(e->name.empty());
    EXPECT_FALSE(e->website.empty());
    EXPECT_FALSE(e->description.empty());
    EXPECT_EQ(e->realm, e->patch);
    EXPECT_NE(e->realm.find(':'), std::string::npos);
  }
}

TEST(ServerListCache, AnyBytesComeBackAndValidUtf8StaysPlainUtf16) {
  const std::string bytes[] = {"",
                               "a|b|c|d\n",
                               "\xe6\x98\x9f\xe6\xa1\xa5",  // valid
                               "\xe6\x98\x9f\xe6",          // cut inside a character
                               "\xff\xfe\x80",              // never UTF-8
                               "\xc0\xaf\xe0\x80\xaf",      // overlong forms
                               "\xed\xa0\x80\xed\xb2\x80",  // surrogates written as UTF-8
                               "\xf4\x90\x80\x80\xf0\x9f\x98",
                               std::string("a\0b", 3),
                               "\xf0\x9f\x98\x80 \xc3\xa9"};
  for (const std::string& b : bytes) EXPECT_EQ(BytesFromCacheText(CacheTextFromBytes(b)), b) << b;
  EXPECT_EQ(CacheTextFromBytes("\xe6\x98\x9f\xf0\x9f\x98\x80"), std::wstring({0x661F, 0xD83D, 0xDE00}));
  EXPECT_EQ(CacheTextFromBytes("\xe6\x98"), std::wstring({0xDCE6, 0xDC98}));
}

// Units this program never writes (a value edited by hand, another program's)
// read as U+FFFD; only U+DC80..U+DCFF stand for bytes.
TEST(ServerListCache, LoneSurrogatesOutsideTheByteRange) {
  const std::string bad = "\xef\xbf\xbd";
  struct Case {
    std::wstring units;
    std::string bytes;
  };
  for (const Case& c : {
           Case{{0xDC80}, "\x80"},
           Case{{0xDCFF}, "\xff"},
           Case{{0xDC7F}, bad},  // a lone low surrogate just below the byte range
           Case{{0xDC00}, bad},
           Case{{0xDD00}, bad},  // just above it
           Case{{0xDFFF}, bad},
           Case{{0xD83D}, bad},  // a lone high surrogate, last
           Case{{0xD83D, L'A'}, bad + "A"},
           Case{{0xDE00, 0xD83D}, bad + bad},  // a pair the wrong way round
           Case{{0xD83D, 0xDE00}, "\xf0\x9f\x98\x80"},
           Case{{0xDBFF, 0xDFFF}, "\xf4\x8f\xbf\xbf"},
       }) {
    std::string hex;
    for (wchar_t u : c.units) hex += std::to_string(static_cast<unsigned>(u)) + " ";
    EXPECT_EQ(BytesFromCacheText(c.units), c.bytes) << hex;
  }
}

}  // namespace
