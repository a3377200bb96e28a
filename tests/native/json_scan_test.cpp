#include "manifest/json_scan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

TEST(JsonScan, FirstOccurrenceWinsWhateverTheNesting) {
  std::string out;
  EXPECT_TRUE(JsonFindString(R"({"product":"a","x":{"product":"b"}})", "product", &out));
  EXPECT_EQ(out, "a");
  EXPECT_TRUE(JsonFindString(R"({"x":{"product":"b"},"product":"a"})", "product", &out));
  EXPECT_EQ(out, "b");
}

TEST(JsonScan, StringsAreRawAndEndAtTheFirstQuote) {
  struct {
    const char* doc;
    bool ok;
    const char* value;
  } cases[] = {
      {R"({"k":"ab\"cd"})", true, "ab\\"},   {R"({"k":""})", true, ""},
      {R"({"k": 12, "n": "x"})", true, "n"},  // the first quoted text after the colon, wherever it is
      {R"({"k" "v"})", false, "keep"},       {R"({"k":"unterminated)", false, "keep"},
      {R"({"kk":"v"})", false, "keep"},      {"{\"k\":\n\"v\"}", true, "v"},
  };
  for (const auto& c : cases) {
    std::string out = "keep";
    EXPECT_EQ(JsonFindString(c.doc, "k", &out), c.ok) << c.doc;
    EXPECT_EQ(out, c.value) << c.doc;
  }
}

TEST(JsonScan, NumbersFollowStrtoullRules) {
  struct {
    const char* doc;
    bool ok;
    std::uint64_t value;
  } cases[] = {
      {R"({"n": 12})", true, 12},
      {"{\"n\":\t12}", true, 12},
      {R"({"n":-1})", true, UINT64_MAX},
      {R"({"n":+7})", true, 7},
      {R"({"n":007})", true, 7},
      {R"({"n":99999999999999999999999})", true, UINT64_MAX},
      {R"({"n":18446744073709551615})", true, UINT64_MAX},
      {R"({"n":18446744073709551616})", true, UINT64_MAX},
      {R"({"n":18446744073709551614})", true, UINT64_MAX - 1},
      {"{\"n\":\n12}", true, 12},
      {R"({"n":"12"})", false, 0},
      {R"({"n":x})", false, 0},
      {R"({"n":})", false, 0},
  };
  for (const auto& c : cases) {
    std::uint64_t v = 42;
    EXPECT_EQ(JsonFindUInt64(c.doc, "n", &v), c.ok) << c.doc;
    EXPECT_EQ(v, c.value) << c.doc;
  }
  std::uint64_t v = 42;
  EXPECT_FALSE(JsonFindUInt64(R"({"m":1})", "n", &v));
  EXPECT_EQ(v, 42u) << "a missing key stores nothing";
  EXPECT_FALSE(JsonFindUInt64(R"({"max_total_connections":5})", "total_connections", &v));
}

TEST(JsonScan, ArraysEndAtTheFirstClosingBracket) {
  std::vector<std::string> out;
  EXPECT_TRUE(JsonFindStringArray(R"({"m":["a","b"]})", "m", &out));
  EXPECT_EQ(out, (std::vector<std::string>{"a", "b"}));
  out.clear();
  EXPECT_FALSE(JsonFindStringArray(R"({"m":[]})", "m", &out));
  // The array ends at the ']' inside the first string, leaving no whole string.
  EXPECT_FALSE(JsonFindStringArray(R"({"m":["a]b","c"]})", "m", &out));
  EXPECT_TRUE(out.empty());
}

TEST(JsonScan, RawValues) {
  struct {
    const char* doc;
    bool ok;
    const char* value;
  } cases[] = {
      {R"({"d":{"a":{"b":1},"c":2},"e":3})", true, R"({"a":{"b":1},"c":2})"},
      {R"({"d": true })", true, "true"},
      {"{\"d\":\ttrue\t,\"x\":1}", true, "true"},
      {R"({"d":"a\"b","x":1})", true, R"("a\"b")"},
      {R"({"d":[1,[2],3],"x":1})", true, "[1,[2],3]"},
      {R"({"d":{"unclosed":1)", false, "keep"},
      {R"({"d":   )", false, "keep"},
      {R"({"d":,"x":1})", false, ""},
  };
  for (const auto& c : cases) {
    std::string out = "keep";
    EXPECT_EQ(JsonFindRaw(c.doc, "d", &out), c.ok) << c.doc;
    EXPECT_EQ(out, c.value) << c.doc;
  }
}

TEST(JsonScan, FileListTakesCompleteEntriesOnly) {
  std::vector<ManifestFile> files;
  EXPECT_FALSE(JsonFindFiles(R"({"files":[{"path":"a","size":1},{"path":"b","size":2}]})", &files));
  EXPECT_TRUE(files.empty());
  EXPECT_TRUE(JsonFindFiles(
      R"({"files":[{"path":"a","size":1},{"path":"b","size":2,"sha256":"h"},{"size":3,"sha256":"i"}],"x":{"path":"z","size":1,"sha256":"q"}})",
      &files));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].path, "b");
  EXPECT_EQ(files[0].size, 2u);
  EXPECT_EQ(files[0].sha256, "h");
  files.clear();
  EXPECT_FALSE(JsonFindFiles("\"files\"", &files));
  EXPECT_FALSE(JsonFindFiles("{}", &files));
}

}  // namespace
