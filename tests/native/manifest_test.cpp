#include "manifest/canonical.h"
#include "manifest/client_manifest.h"
#include "manifest/install_paths.h"
#include "manifest/progress.h"
#include "hash/sha256.h"
#include "net/url.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

// The example document, once on one line and once pretty-printed with its
// keys in another order.
const char kCompact[] =
    R"({"schema_version":1,"product":"P","manifest_id":"x","created_at":"2024-01-01","display_name":"X",)"
    R"("install_root":"C","total_bytes":5,"file_count":1,"mirrors":["M"],)"
    R"("download":{"mode":"m","url_template":"T","user_agent":"U","range_supported":"true",)"
    R"("max_connections_per_mirror":2,"max_total_connections":4},)"
    R"("files":[{"path":"a/b.txt","size":5,"sha256":"H"}]})";

const char kPretty[] = R"({
  "files": [
    { "sha256": "H", "size": 5, "path": "a/b.txt" }
  ],
  "download": {
    "max_total_connections": 4,
    "max_connections_per_mirror": 2,
    "user_agent": "U",
    "url_template": "T",
    "mode": "m",
    "range_supported": "true"
  },
  "mirrors": [ "M" ],
  "file_count": 1,
  "total_bytes":	5,
  "install_root": "C",
  "display_name": "X",
  "created_at": "2024-01-01",
  "manifest_id": "x",
  "product": "P",
  "schema_version": 1
}
)";

const char kCanonical[] =
    R"({"created_at":"2024-01-01","display_name":"X","download":{"max_connections_per_mirror":2,)"
    R"("max_total_connections":4,"mode":"m","range_supported":true,"url_template":"T","user_agent":"U"},)"
    R"("file_count":1,"files":[{"path":"a/b.txt","sha256":"H","size":5}],"install_root":"C","mirrors":["M"],)"
    R"("product":"P","schema_version":1,"total_bytes":5})";

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  size_t at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

TEST(Canonical, ExampleIsByteForByte) {
  std::string text;
  ASSERT_TRUE(BuildCanonicalManifest(kCompact, &text));
  EXPECT_EQ(text, kCanonical);
  ASSERT_TRUE(BuildCanonicalManifest(kPretty, &text));
  EXPECT_EQ(text, kCanonical);
  std::string a, b;
  ASSERT_TRUE(ComputeManifestId(kCompact, &a));
  ASSERT_TRUE(ComputeManifestId(kPretty, &b));
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.size(), 64u);
  // Pinned: every published identity depends on these exact bytes, a blank
  // written as \u0020 or a reordered key would change them all unnoticed.
  ASSERT_TRUE(ComputeManifestId(Replace(kPretty, "\"X\"", "\"My Client\""), &a));
  EXPECT_EQ(a, "7546ab1538ecea556d8da42590f853562e51e47cac49d7807190d55592e014c3");
}

TEST(Canonical, EscapingAndNumbers) {
  std::string out;
  JsonEscapeString(&out, "a\"b\\c\td\n\x01\x7f\xe6\x98\x9f");
  EXPECT_EQ(out, "\"a\\\"b\\\\c\\u0009d\\u000a\\u0001\x7f\xe6\x98\x9f\"");

  std::string text;
  ASSERT_TRUE(BuildCanonicalManifest(Replace(kCompact, "\"schema_version\":1", "\"schema_version\":007"), &text));
  EXPECT_NE(text.find("\"schema_version\":7,"), std::string::npos);
  ASSERT_TRUE(
      BuildCanonicalManifest(Replace(kCompact, "\"install_root\":\"C\"", "\"install_root\":\"C:\\Games\""), &text));
  EXPECT_NE(text.find("\"install_root\":\"C:\\\\Games\""), std::string::npos);
  ASSERT_TRUE(BuildCanonicalManifest(
      Replace(kCompact, "\"display_name\":\"X\"", "\"display_name\":\"\xe6\x98\x9f\tX\""), &text));
  EXPECT_NE(text.find("\"display_name\":\"\xe6\x98\x9f\\u0009X\""), std::string::npos);
}

// Separators between entries: two files and three mirrors, in document order.
TEST(Canonical, SeveralFilesAndMirrors) {
  std::string doc = Replace(kCompact, R"("mirrors":["M"])", R"("mirrors":["M","N", "O"])");
  doc = Replace(doc, R"({"path":"a/b.txt","size":5,"sha256":"H"})",
                R"({"path":"z.txt","size":1,"sha256":"Z"}, {"path":"a/b.txt","size":5,"sha256":"H"},)"
                R"({"path":"skipped"}, {"size":7,"sha256":"Q","path":"c"})");
  std::string text;
  ASSERT_TRUE(BuildCanonicalManifest(doc, &text));
  EXPECT_EQ(text, Replace(Replace(kCanonical, R"("mirrors":["M"])", R"("mirrors":["M","N","O"])"),
                          R"("files":[{"path":"a/b.txt","sha256":"H","size":5}])",
                          R"("files":[{"path":"z.txt","sha256":"Z","size":1},{"path":"a/b.txt","sha256":"H","size":5},)"
                          R"({"path":"c","sha256":"Q","size":7}])"));
}

TEST(Canonical, MissingPiecesFail) {
  std::string text = "keep";
  for (const char* key : {"\"created_at\"", "\"display_name\"", "\"install_root\"", "\"product\"", "\"schema_version\"",
                          "\"total_bytes\"", "\"file_count\"", "\"mirrors\"", "\"download\"", "\"mode\"",
                          "\"url_template\"", "\"user_agent\"", "\"range_supported\"", "\"max_connections_per_mirror\"",
                          "\"max_total_connections\"", "\"files\""})
    EXPECT_FALSE(BuildCanonicalManifest(Replace(kCompact, key, "\"renamed\""), &text)) << key;
  EXPECT_FALSE(BuildCanonicalManifest(Replace(kCompact, "\"total_bytes\":5", "\"total_bytes\":\"5\""), &text))
      << "a number written as a string";
  EXPECT_FALSE(BuildCanonicalManifest(Replace(kCompact, "[\"M\"]", "[]"), &text));
  EXPECT_FALSE(BuildCanonicalManifest(Replace(kCompact, ",\"sha256\":\"H\"", ""), &text));
  EXPECT_EQ(text, "keep");
}

TEST(Canonical, VerifyIgnoresCaseButNotLength) {
  std::string id;
  ASSERT_TRUE(ComputeManifestId(kCompact, &id));
  std::string upper = id;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  EXPECT_TRUE(VerifyManifestId(Replace(kCompact, "\"manifest_id\":\"x\"", "\"manifest_id\":\"" + upper + "\"")));
  EXPECT_FALSE(
      VerifyManifestId(Replace(kCompact, "\"manifest_id\":\"x\"", "\"manifest_id\":\"" + id.substr(1) + "\"")));
  EXPECT_FALSE(VerifyManifestId(kCompact));
}

TEST(Sha256, KnownDigests) {
  std::string out;
  ASSERT_TRUE(Sha256HexOfString("", &out));
  EXPECT_EQ(out, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  ASSERT_TRUE(Sha256HexOfString("abc", &out));
  EXPECT_EQ(out, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ClientManifestParse, KeepsWhatTheLauncherUses) {
  ClientManifest m;
  ASSERT_TRUE(ParseClientManifest(kCompact, &m));
  EXPECT_EQ(m.product, "P");
  EXPECT_EQ(m.install_root, "C");
  EXPECT_EQ(m.total_bytes, 5u);
  EXPECT_EQ(m.mirrors, std::vector<std::string>{"M"});
  EXPECT_EQ(m.max_total_connections, 4u);
  EXPECT_EQ(m.max_connections_per_mirror, 2u);
  EXPECT_TRUE(m.range_supported);
  ASSERT_EQ(m.files.size(), 1u);

  struct {
    const char* from;
    const char* to;
    bool range;
  } ranges[] = {{"\"range_supported\":\"true\"", "\"range_supported\":\"false\"", false},
                {"\"range_supported\":\"true\"", "\"range_supported\":\"TRUE\"", false},
                {"\"range_supported\":\"true\"", "\"range_supported\":true", false},
                {"\"range_supported\":\"true\"", "\"other\":1", true}};
  for (const auto& r : ranges) {
    ClientManifest x;
    ASSERT_TRUE(ParseClientManifest(Replace(kCompact, r.from, r.to), &x));
    EXPECT_EQ(x.range_supported, r.range) << r.to;
  }
  ClientManifest z;
  ASSERT_TRUE(ParseClientManifest(Replace(kCompact, "\"max_total_connections\":4", "\"max_total_connections\":0"), &z));
  EXPECT_EQ(z.max_total_connections, 3u);
  for (const char* key : {"\"product\"", "\"manifest_id\"", "\"install_root\"", "\"files\""})
    EXPECT_FALSE(ParseClientManifest(Replace(kCompact, key, "\"renamed\""), &z)) << key;
  EXPECT_FALSE(ParseClientManifest(Replace(kCompact, ",\"sha256\":\"H\"", ""), &z));
}

TEST(Urls, EncodeAndJoin) {
  EXPECT_EQ(UrlEncodePath("Data/zhCN/patch-zhCN-5.MPQ"), "Data/zhCN/patch-zhCN-5.MPQ");
  EXPECT_EQ(UrlEncodePath("a b%+?#\\~"), "a%20b%25%2B%3F%23%5C~");
  EXPECT_EQ(UrlEncodePath("\xe6\x98\x9f"), "%E6%98%9F");
  EXPECT_EQ(EnsureTrailingSlash(""), "");
  EXPECT_EQ(EnsureTrailingSlash("https://h/wow335/"), "https://h/wow335/");
  EXPECT_EQ(EnsureTrailingSlash("https://h/wow335"), "https://h/wow335/");
  EXPECT_EQ(BuildFileUrl("https://h:8082/wow335", "wow335-hd", "Data/My File.MPQ"),
            "https://h:8082/wow335/wow335-hd/files/Data/My%20File.MPQ");
  EXPECT_EQ(UrlServerRoot("https://127.0.0.2:18082/wow335/"), "https://127.0.0.2:18082/");
}

TEST(Urls, OnlyWebAddressesAreOpened) {
  for (const char* web : {"http://a.example/reg", "HTTPS://a.example/", "hTtP://x"})
    EXPECT_TRUE(IsWebAddress(web)) << web;
  for (const char* other :
       {"\\\\host\\share\\x.exe", "C:\\Games\\x.exe", "file:///C:/x.exe", "https://", "", " https://a.example/",
        "www.a.example", "ftp://a.example/", "https://a.example/\" --flag \"x", "https://a.example/\r\nx"})
    EXPECT_FALSE(IsWebAddress(other)) << other;
}

TEST(Urls, ContentRange) {
  std::uint64_t start = 1;
  EXPECT_TRUE(ContentRangeStart("bytes 300000-999999/1000000", &start));
  EXPECT_EQ(start, 300000u);
  EXPECT_TRUE(ContentRangeStart("bytes 0-9/*", &start));
  EXPECT_EQ(start, 0u);
  for (const char* bad : {"", "bytes */1000", "bytes=5-9/10", "items 5-9/10", "bytes 5", "bytes 99999999999999999999-"})
    EXPECT_FALSE(ContentRangeStart(bad, &start)) << bad;
  EXPECT_EQ(ContentRangeTotal("bytes 5-9/10"), 10u);
  EXPECT_EQ(ContentRangeTotal("bytes 5-9/*"), 0u);
  EXPECT_EQ(ContentRangeTotal("bytes 5-9"), 0u);
}

TEST(InstallPaths, SafetyAndJoining) {
  EXPECT_TRUE(IsSafeManifestPath("Data/zhCN/patch-zhCN-5.MPQ"));
  for (const char* bad : {"", "/Wow.exe", "\\Wow.exe", "C:/x", "../x", "a/../b", "a..b", "x:y"})
    EXPECT_FALSE(IsSafeManifestPath(bad)) << bad;
  EXPECT_EQ(JoinPath(L"D:\\Games\\", L"Wow.exe"), L"D:\\Games\\Wow.exe");
  EXPECT_EQ(JoinPath(L"D:\\Games", L"Wow.exe"), L"D:\\Games\\Wow.exe");
  EXPECT_EQ(JoinPath(L"", L"Wow.exe"), L"Wow.exe");
  EXPECT_EQ(JoinPath(L"D:\\Games", L""), L"D:\\Games");
  EXPECT_EQ(ManifestPathToLocal(L"Data/zhCN/x.MPQ"), L"Data\\zhCN\\x.MPQ");
  EXPECT_TRUE(HasDirectoryPrefix(L"D:\\Games\\Client\\", L"D:\\GAMES\\Client\\Data\\x"));
  EXPECT_FALSE(HasDirectoryPrefix(L"D:\\Games\\Client\\", L"D:\\Games\\Client2\\x"));
  EXPECT_TRUE(HasDirectoryPrefix(L"D:\\Games\\Client\\", L"d:\\games\\client\\")) << "the folder itself";
  EXPECT_FALSE(HasDirectoryPrefix(L"D:\\Games\\Client\\", L"D:\\Games\\Client")) << "without its backslash";
  EXPECT_FALSE(HasDirectoryPrefix(L"D:\\Games\\Client\\", L"D:\\Games\\"));
  for (const char* same :
       {"Data/zhCN/a.MPQ", "data\\ZHCN\\A.mpq", "Data//zhCN/./a.MPQ", "Data/zhCN. /a.MPQ .", "Data/zhCN/a.MPQ/"})
    EXPECT_EQ(LocalPathKey(same), "DATA\\ZHCN\\A.MPQ") << same;
  EXPECT_EQ(LocalPathKey("Data/\xc3\xa9.bin"), "DATA\\\xc3\xa9.BIN");
}

TEST(InstallPaths, InstallRootAndProductArePlainNames) {
  for (const char* ok : {"[HD]Wow3.3.5a", "wow335-hd", "E2E Client", ".hidden", "a..b", "\xe5\xae\xa2\xe6\x88\xb7"})
    EXPECT_TRUE(IsPlainFolderName(ok)) << ok;
  const std::vector<std::string> bad = {
      "",
      ".",
      "..",
      "...",
      " ",
      ". .",
      "a/b",
      "a\\b",
      "C:",
      "a:b",
      "..\\..\\..\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup",
      "a<b",
      "a>b",
      "a\"b",
      "a|b",
      "a?b",
      "a*b",
      "a\tb",
      "a\x7f",
      std::string("a\0b", 3)};
  for (const std::string& b : bad) EXPECT_FALSE(IsPlainFolderName(b)) << b;
}

// One record per client folder: the folder a download makes keeps the name
// every launcher wrote; a copy beside it has its own.
TEST(ProgressText, EachClientFolderHasItsOwnRecord) {
  EXPECT_EQ(ProgressFileStem("wow335-hd", "[HD]Wow3.3.5a", "[HD]Wow3.3.5a"), "wow335-hd");
  EXPECT_EQ(ProgressFileStem("wow335-hd", "[HD]Wow3.3.5a", "[hd]WOW3.3.5A"), "wow335-hd");
  EXPECT_EQ(ProgressFileStem("wow335-hd", "[HD]Wow3.3.5a", ""), "wow335-hd");
  EXPECT_EQ(ProgressFileStem("wow335-hd", "[HD]Wow3.3.5a", "[HD]Wow3.3.5a - copy"), "wow335-hd@[HD]Wow3.3.5a - copy");
  EXPECT_EQ(ProgressFileStem("wow335-hd", "[HD]Wow3.3.5a", "[HD]Wow3.3.5"), "wow335-hd@[HD]Wow3.3.5");
}

TEST(ProgressText, RoundTripsAndRulesOfTheReader) {
  ProgressState s;
  s.product = "wow335-hd";
  s.manifest_id = "abc";
  s.install_root = "[HD]Wow3.3.5a";
  s.files["Data/a.MPQ"] = {10, "h1", 10, true};
  s.files["Wow.exe"] = {20, "h2", 7, false};
  std::string text = FormatProgressText(s, "D:\\Games");
  EXPECT_EQ(text.rfind("{\n  \"schema_version\": 1,\n  \"product\": \"wow335-hd\",\n", 0), 0u);
  EXPECT_NE(text.find("  \"install_dir\": \"D:\\Games\",\n  \"updated_at\": \"\",\n  \"files\": {\n"),
            std::string::npos);
  EXPECT_NE(
      text.find("    \"Wow.exe\": {\"size\": 20, \"sha256\": \"h2\", \"downloaded_bytes\": 7, \"complete\": false}"),
      std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 8), "}\n  }\n}\n");

  ProgressDocument doc;
  ASSERT_TRUE(ParseProgressText(text, &doc));
  EXPECT_EQ(doc.install_dir, "D:\\Games");
  ASSERT_EQ(doc.files.size(), 2u);
  EXPECT_TRUE(doc.files["Data/a.MPQ"].complete);
  EXPECT_FALSE(doc.files["Wow.exe"].complete);
  EXPECT_EQ(doc.files["Wow.exe"].downloaded_bytes, 7u);

  const char dup[] =
      "{\"product\":\"p\",\"manifest_id\":\"m\",\"files\":{\n"
      "\"a\": {\"size\": 1, \"sha256\": \"x\", \"downloaded_bytes\": 1, \"complete\": true},\n"
      "\"a\": {\"size\": 2, \"sha256\": \"y\", \"downloaded_bytes\": 0, \"complete\": false}\n}}\n";
  ASSERT_TRUE(ParseProgressText(dup, &doc));
  ASSERT_EQ(doc.files.size(), 1u);
  EXPECT_EQ(doc.files["a"].size, 2u) << "the later duplicate wins";

  ProgressState empty;
  empty.product = "p";
  empty.manifest_id = "m";
  std::string e = FormatProgressText(empty, "");
  EXPECT_NE(e.find("\"files\": {\n\n  }\n}\n"), std::string::npos);
  ASSERT_TRUE(ParseProgressText(e, &doc));
  EXPECT_TRUE(doc.files.empty());

  // Three files: the header, then one line per entry with ",\n" between, in the
  // map's order, then the closing lines.
  s.files["Interface/AddOns/x.toc"] = {0, "h3", 0, true};
  const std::map<std::string, std::string> lines = {
      {"Data/a.MPQ", R"(    "Data/a.MPQ": {"size": 10, "sha256": "h1", "downloaded_bytes": 10, "complete": true})"},
      {"Wow.exe", R"(    "Wow.exe": {"size": 20, "sha256": "h2", "downloaded_bytes": 7, "complete": false})"},
      {"Interface/AddOns/x.toc",
       R"(    "Interface/AddOns/x.toc": {"size": 0, "sha256": "h3", "downloaded_bytes": 0, "complete": true})"}};
  std::string expected =
      "{\n  \"schema_version\": 1,\n  \"product\": \"wow335-hd\",\n  \"manifest_id\": \"abc\",\n"
      "  \"install_root\": \"[HD]Wow3.3.5a\",\n  \"install_dir\": \"D:\\Games\",\n  \"updated_at\": \"\",\n"
      "  \"files\": {\n";
  bool first = true;
  for (const auto& entry : s.files) {
    expected += (first ? "" : ",\n") + lines.at(entry.first);
    first = false;
  }
  expected += "\n  }\n}\n";
  const std::string three = FormatProgressText(s, "D:\\Games");
  EXPECT_EQ(three, expected);
  ASSERT_TRUE(ParseProgressText(three, &doc));
  EXPECT_EQ(doc.files.size(), 3u);
  EXPECT_EQ(doc.product, "wow335-hd");
  EXPECT_EQ(doc.manifest_id, "abc");
  // product and manifest_id are required; the rest is not.
  for (const char* key : {"\"product\"", "\"manifest_id\""})
    EXPECT_FALSE(ParseProgressText(Replace(three, key, "\"renamed\""), &doc)) << key;
  ASSERT_TRUE(ParseProgressText(Replace(three, "\"install_dir\"", "\"renamed\""), &doc));
  EXPECT_EQ(doc.install_dir, "");
  ASSERT_TRUE(ParseProgressText(Replace(three, "\"files\"", "\"renamed\""), &doc));
  EXPECT_TRUE(doc.files.empty());

  // A file cut short is read up to the first entry whose delimiters are missing.
  ASSERT_TRUE(ParseProgressText(text.substr(0, text.find("\"Wow.exe\"") + 20), &doc));
  EXPECT_LE(doc.files.size(), 1u);
  EXPECT_FALSE(ParseProgressText("{\"manifest_id\":\"m\"}", &doc));
}

}  // namespace
