// realmporter-manifest: the operator's tool for client manifests. It writes
// documents with the same canonical identity code the launcher uses, and
// refuses anything the launcher would reject or could not read back.
#include <fnmatch.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "download/client_check.h"
#include "manifest/canonical.h"
#include "manifest/client_manifest.h"
#include "manifest/install_paths.h"
#include "manifest/json_scan.h"
#include "hash/sha256.h"
#include "tools/manifest_build.h"
#include "tools/manifest_check_mirrors.h"
#include "tools/manifest_launcher.h"
#include "tools/manifest_sign.h"

namespace fs = std::filesystem;

int BlocksCommand(int argc, char** argv);   // tools/manifest_blocks.cpp
int PublishCommand(int argc, char** argv);  // tools/manifest_publish.cpp
int CheckSite(int argc, char** argv);       // tools/manifest_check_site.cpp

namespace {

const char kUsage[] =
    "usage: realmporter-manifest COMMAND ...\n"
    "\n"
    "  build      write a manifest for a client folder\n"
    "  id         print the canonical identity of a manifest\n"
    "  canonical  print the canonical text of a manifest\n"
    "  verify     check a client folder against a manifest\n"
    "  publish    build, sign, upload and switch a client release on every mirror\n"
    "  check-mirrors  check what every mirror of a manifest serves\n"
    "  check-site check the server list, background and launcher feed of the site\n"
    "  blocks     write the block maps of a folder's large files\n"
    "  keygen     make the operator's signing key pair\n"
    "  sign       write FILE.sig for published files\n"
    "  verify-sig check FILE.sig against a public key\n"
    "  launcher-feed  write the launcher's update feed for a release\n"
    "  launcher-publish  put a launcher release on the site and read it back\n"
    "\n"
    "realmporter-manifest COMMAND --help describes each.\n";

const char kBuildUsage[] =
    "usage: realmporter-manifest build --product P --install-root R --display-name D\n"
    "         --mirror URL [--mirror URL ...] [--created-at T] [--out FILE]\n"
    "         [--mode M] [--url-template T] [--user-agent U] [--range-supported true|false]\n"
    "         [--max-connections-per-mirror N] [--max-total-connections N]\n"
    "         [--exclude PATTERN ...] [--any-install-root] DIR\n"
    "\n"
    "Walks DIR and writes a manifest listing every file with its size and SHA-256\n"
    "(to standard output unless --out), files in byte order of their paths, and\n"
    "manifest_id set to the canonical identity. P is the product name the launcher\n"
    "asks for (wow335-hd or wow335-normal); R the one folder name the client is\n"
    "saved under inside the player's save folder (no path: no / \\ :, not only dots);\n"
    "each --mirror a base URL ending in '/' under which <P>/files/<path> is served.\n"
    "Defaults: --created-at now (UTC), --mode mirror, --url-template\n"
    "{mirror}{product}/files/{path}, --user-agent \"RealmPorter/2.0 (Game Client\n"
    "Launcher)\", --range-supported true, --max-connections-per-mirror 1,\n"
    "--max-total-connections 3.\n"
    "A file name the launcher could not use (quotes, backslashes, '..', ':',\n"
    "braces, control characters, invalid UTF-8) stops the build with its name.\n"
    "\n"
    "The launcher sets the game path from the edition's own folder name, so\n"
    "wow335-hd needs --install-root '[HD]Wow3.3.5a' and wow335-normal needs\n"
    "'Wow3.3.5a'; --any-install-root builds another pairing all the same.\n"
    "Warnings (the build goes on): no Wow.exe, a missing patch archive\n"
    "(Data/zhCN/patch-zhCN-5.MPQ, -6.MPQ), a player's own files (WTF/, Cache/,\n"
    "Logs/) and the realm file Data/<locale>/realmlist.wtf, the player's setting.\n"
    "--exclude PATTERN (repeatable; shell wildcards, any case) leaves out every\n"
    "file whose path, or a folder above it, matches: --exclude WTF --exclude\n"
    "Cache --exclude Logs.\n";

const char kIdUsage[] =
    "usage: realmporter-manifest id FILE\n"
    "Prints the canonical identity (SHA-256 of the canonical text) of a manifest.\n";
const char kCanonicalUsage[] =
    "usage: realmporter-manifest canonical FILE\n"
    "Prints the canonical text from which the identity is computed.\n";
const char kVerifyUsage[] =
    "usage: realmporter-manifest verify FILE DIR\n"
    "Checks that DIR holds every file of the manifest with its size and SHA-256,\n"
    "and that the declared manifest_id is the canonical identity. Prints each\n"
    "difference; exits 0 only when there is none.\n";

bool WantsHelp(int argc, char** argv) {
  for (int i = 2; i < argc; ++i)
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) return true;
  return false;
}

int Fail(const std::string& message) {
  std::cerr << "realmporter-manifest: " << message << "\n";
  return 1;
}

}  // namespace

bool ReadWhole(const std::string& path, std::string* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream ss;
  ss << f.rdbuf();
  *out = ss.str();
  return true;
}

bool Sha256OfFile(const fs::path& path, std::string* hex) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  std::vector<unsigned char> buf(1 << 20);
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) EVP_DigestUpdate(ctx, buf.data(), n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  unsigned char digest[32];
  unsigned len = 0;
  EVP_DigestFinal_ex(ctx, digest, &len);
  EVP_MD_CTX_free(ctx);
  if (!ok) return false;
  char out[65];
  for (int i = 0; i < 32; ++i) std::snprintf(out + 2 * i, 3, "%02x", digest[i]);
  hex->assign(out, 64);
  return true;
}

std::string NowUtc() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

namespace {

bool IsValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 99;
    if (n == 99 || i + n >= s.size() + (n ? 0 : 1)) return false;
    for (size_t k = 1; k <= n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n + 1;
  }
  return true;
}

// Text the shallow reader takes back unchanged: no quote, backslash or
// control character, valid UTF-8, and in a file path no brace (a file entry
// ends at its first '}'). The document is also read back as a whole below.
std::string WhyUnreadable(const std::string& s, bool isPath = false) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F) return "a control character";
    if (c == '"') return "a double quote";
    if (c == '\\') return "a backslash";
    if (isPath && (c == '{' || c == '}')) return "a brace";
  }
  if (!IsValidUtf8(s)) return "invalid UTF-8";
  return {};
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

// Keys in an order that keeps the shallow reader right: every top-level
// value before "download", "mirrors" and "files", so that no file path or
// nested value can be taken for a top-level key.
std::string WriteDocument(const BuildOptions& o, const std::vector<ManifestFile>& files, const std::string& id) {
  std::uint64_t totalBytes = 0;
  for (const auto& f : files) totalBytes += f.size;
  std::string d = "{\n";
  d += "  \"schema_version\": 1,\n";
  d += "  \"manifest_id\": " + Quote(id) + ",\n";
  d += "  \"product\": " + Quote(o.product) + ",\n";
  d += "  \"display_name\": " + Quote(o.displayName) + ",\n";
  d += "  \"created_at\": " + Quote(o.createdAt) + ",\n";
  d += "  \"install_root\": " + Quote(o.installRoot) + ",\n";
  d += "  \"total_bytes\": " + std::to_string(totalBytes) + ",\n";
  d += "  \"file_count\": " + std::to_string(files.size()) + ",\n";
  d += "  \"download\": {\n";
  d += "    \"mode\": " + Quote(o.mode) + ",\n";
  d += "    \"url_template\": " + Quote(o.urlTemplate) + ",\n";
  d += "    \"user_agent\": " + Quote(o.userAgent) + ",\n";
  d += "    \"range_supported\": " + Quote(o.rangeSupported) + ",\n";
  d += "    \"max_connections_per_mirror\": " + std::to_string(o.perMirror) + ",\n";
  d += "    \"max_total_connections\": " + std::to_string(o.total) + "\n";
  d += "  },\n";
  d += "  \"mirrors\": [";
  for (size_t i = 0; i < o.mirrors.size(); ++i) d += (i ? ", " : "") + Quote(o.mirrors[i]);
  d += "],\n  \"files\": [\n";
  for (size_t i = 0; i < files.size(); ++i) {
    d += "    {\"path\": " + Quote(files[i].path) + ", \"size\": " + std::to_string(files[i].size) +
         ", \"sha256\": " + Quote(files[i].sha256) + "}";
    d += i + 1 < files.size() ? ",\n" : "\n";
  }
  d += "  ]\n}\n";
  return d;
}

bool ParseCount(const char* s, std::uint64_t* out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s, &end, 10);
  if (!*s || *end || errno || v == 0 || v > 0xFFFFFFFFull) return false;
  *out = v;
  return true;
}

// The launcher saves each edition under its own folder name and builds the
// game path from that name, not from the manifest: another install root
// downloads a client the launcher then cannot find.
const char* EditionFolder(const std::string& product) {
  if (product == "wow335-hd") return "[HD]Wow3.3.5a";
  if (product == "wow335-normal") return "Wow3.3.5a";
  return nullptr;
}

// `pattern` matches the path itself or one of the folders above it, in any
// case (Windows does not tell WTF from wtf).
bool MatchesExclude(const std::string& pattern, const std::string& path) {
  std::string p = pattern;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  for (size_t end = path.find('/');; end = path.find('/', end + 1)) {
    std::string head = path.substr(0, end);
    if (fnmatch(p.c_str(), head.c_str(), FNM_CASEFOLD) == 0) return true;
    if (end == std::string::npos) return false;
  }
}

// What a client folder should hold and what only a player's copy holds:
// warnings only, since an operator may publish a partial set on purpose.
void WarnAboutContents(const std::vector<ManifestFile>& files) {
  std::set<std::string> have;
  for (const ManifestFile& f : files) have.insert(LocalPathKey(f.path));
  const struct {
    const char *path, *why;
  } needed[] = {{"Wow.exe", "the launcher starts the game by it"},
                {"Data/zhCN/patch-zhCN-5.MPQ", "the patch buttons need it"},
                {"Data/zhCN/patch-zhCN-6.MPQ", "the patch buttons need it"}};
  for (const auto& n : needed)
    if (!have.count(LocalPathKey(n.path))) std::cerr << "warning: no " << n.path << " (" << n.why << ")\n";
  for (const ManifestFile& f : files)
    if (IsPlayersSetting(f.path))
      std::cerr << "warning: " << f.path
                << " is the player's setting (the launcher writes the chosen realm into it): a check takes it as "
                   "fine whatever it holds and a repair never replaces it; --exclude "
                << f.path << " leaves it out\n";
  for (const char* folder : {"WTF", "Cache", "Logs"}) {
    int n = 0;
    for (const ManifestFile& f : files) n += MatchesExclude(folder, f.path);
    if (n)
      std::cerr << "warning: " << folder << "/ holds " << n << " file(s) of a player, not of a client; --exclude "
                << folder << " leaves them out\n";
  }
}

}  // namespace

int TakeBuildOption(int argc, char** argv, int* at, BuildOptions* options) {
  int& i = *at;
  BuildOptions& o = *options;
  std::string a = argv[i];
  auto value = [&](std::string* out) {
    if (i + 1 >= argc) return false;
    *out = argv[++i];
    return true;
  };
  std::string v;
  bool ok = true;
  if (a == "--product")
    ok = value(&o.product);
  else if (a == "--install-root")
    ok = value(&o.installRoot);
  else if (a == "--display-name")
    ok = value(&o.displayName);
  else if (a == "--created-at")
    ok = value(&o.createdAt);
  else if (a == "--mode")
    ok = value(&o.mode);
  else if (a == "--url-template")
    ok = value(&o.urlTemplate);
  else if (a == "--user-agent")
    ok = value(&o.userAgent);
  else if (a == "--range-supported") {
    ok = value(&o.rangeSupported) && (o.rangeSupported == "true" || o.rangeSupported == "false");
  } else if (a == "--mirror") {
    ok = value(&v);
    o.mirrors.push_back(v);
  } else if (a == "--exclude") {
    ok = value(&v) && !v.empty();
    o.excludes.push_back(v);
  } else if (a == "--any-install-root") {
    o.anyInstallRoot = true;
  } else if (a == "--max-connections-per-mirror") {
    ok = value(&v) && ParseCount(v.c_str(), &o.perMirror);
  } else if (a == "--max-total-connections") {
    ok = value(&v) && ParseCount(v.c_str(), &o.total);
  } else {
    return 0;
  }
  return ok ? 1 : -1;
}

std::string MakeManifest(BuildOptions& o, std::string* document, std::vector<ManifestFile>* listed) {
  if (o.createdAt.empty()) o.createdAt = NowUtc();

  for (char c : o.product)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
      return "--product may hold only letters, digits, '-', '_' and '.': " + o.product;
  // The launcher refuses a manifest whose product or install root is more
  // than one plain name inside the save folder.
  if (!IsPlainFolderName(o.product)) return "--product must be one plain name, not only dots: " + o.product;
  if (!IsPlainFolderName(o.installRoot))
    return "--install-root must be one plain folder name (no / \\ : < > \" | ? *, control characters, "
           "or only dots and blanks): " +
           o.installRoot;
  if (const char* folder = EditionFolder(o.product); !folder)
    std::cerr << "warning: the launcher asks only for wow335-hd and wow335-normal, not " << o.product << "\n";
  else if (o.installRoot != folder && !o.anyInstallRoot)
    return "--install-root for " + o.product + " must be " + folder +
           ": the launcher looks for the game in that folder (--any-install-root builds it all the same)";
  struct {
    const char* what;
    const std::string* value;
  } texts[] = {{"--install-root", &o.installRoot}, {"--display-name", &o.displayName},
               {"--created-at", &o.createdAt},     {"--mode", &o.mode},
               {"--url-template", &o.urlTemplate}, {"--user-agent", &o.userAgent}};
  for (const auto& t : texts) {
    std::string why = WhyUnreadable(*t.value);
    if (!why.empty()) return std::string(t.what) + " holds " + why + ": " + *t.value;
  }
  for (const auto& m : o.mirrors) {
    std::string why = WhyUnreadable(m);
    if (!why.empty()) return "--mirror holds " + why + ": " + m;
    if (m.rfind("http://", 0) != 0 && m.rfind("https://", 0) != 0) return "--mirror must be an http(s) URL: " + m;
  }

  std::error_code ec;
  if (!fs::is_directory(o.dir, ec)) return "not a folder: " + o.dir;
  std::vector<ManifestFile> files;
  std::vector<int> excludedBy(o.excludes.size());
  for (auto it = fs::recursive_directory_iterator(o.dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::string rel = fs::relative(it->path(), o.dir, ec).generic_string();
    auto hit = std::find_if(o.excludes.begin(), o.excludes.end(),
                            [&](const std::string& p) { return MatchesExclude(p, rel); });
    if (hit != o.excludes.end()) {
      excludedBy[hit - o.excludes.begin()]++;
      continue;
    }
    std::string why = WhyUnreadable(rel, true);
    if (!why.empty()) return "cannot list " + rel + ": its path holds " + why;
    if (!IsSafeManifestPath(rel)) return "cannot list " + rel + ": the launcher refuses paths with ':' or '..'";
    ManifestFile f;
    f.path = rel;
    f.size = it->file_size(ec);
    if (ec || !Sha256OfFile(it->path(), &f.sha256)) return "cannot read " + rel;
    files.push_back(std::move(f));
  }
  if (ec) return "cannot walk " + o.dir + ": " + ec.message();
  if (files.empty()) return "no files in " + o.dir;
  for (size_t i = 0; i < o.excludes.size(); ++i)
    if (!excludedBy[i]) std::cerr << "warning: --exclude " << o.excludes[i] << " matched no file\n";
  WarnAboutContents(files);
  std::sort(files.begin(), files.end(), [](const ManifestFile& a, const ManifestFile& b) { return a.path < b.path; });
  // Names that differ only in case (or in dots and blanks at the end) are two
  // files here and one on the players' machines, where the launcher refuses
  // such a manifest.
  std::map<std::string, std::string> seen;
  for (const ManifestFile& f : files) {
    auto [at, fresh] = seen.emplace(LocalPathKey(f.path), f.path);
    if (!fresh) return "cannot list " + f.path + ": on Windows it is the same file as " + at->second;
  }

  std::string id;
  std::string draft = WriteDocument(o, files, std::string(64, '0'));
  if (!ComputeManifestId(draft, &id)) return "internal error: the canonical text could not be built";
  std::string doc = WriteDocument(o, files, id);

  // Read the document back as the launcher does; any difference would make
  // it fail on the players' machines.
  ClientManifest back;
  if (!ParseClientManifest(doc, &back) || !VerifyManifestId(doc)) return "internal error: document does not read back";
  if (back.files.size() != files.size()) return "the file list does not read back";
  for (size_t i = 0; i < files.size(); ++i)
    if (back.files[i].path != files[i].path || back.files[i].size != files[i].size ||
        back.files[i].sha256 != files[i].sha256)
      return "cannot list " + files[i].path + ": the launcher would read it differently";
  if (back.product != o.product || back.install_root != o.installRoot || back.mirrors != o.mirrors)
    return "the header values do not read back; check for values spelled like JSON keys";

  *document = doc;
  *listed = files;
  return {};
}

namespace {

int Build(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::cout << kBuildUsage;
    return 0;
  }
  BuildOptions o;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--out" && i + 1 < argc) {
      o.out = argv[++i];
      continue;
    }
    const int taken = TakeBuildOption(argc, argv, &i, &o);
    if (taken < 0) return Fail("option " + a + " needs a valid value\n" + kBuildUsage);
    if (taken > 0) continue;
    if (!a.empty() && a[0] == '-') return Fail("unknown option " + a + "\n" + kBuildUsage);
    if (!o.dir.empty()) return Fail("more than one folder given\n" + std::string(kBuildUsage));
    o.dir = a;
  }
  if (o.product.empty() || o.installRoot.empty() || o.displayName.empty() || o.mirrors.empty() || o.dir.empty())
    return Fail(std::string("build needs --product, --install-root, --display-name, --mirror and DIR\n") + kBuildUsage);
  std::string doc, problem;
  std::vector<ManifestFile> files;
  if (!(problem = MakeManifest(o, &doc, &files)).empty()) return Fail(problem);
  std::string id;
  ComputeManifestId(doc, &id);
  if (o.out.empty()) {
    std::cout << doc;
    return std::cout.good() ? 0 : 1;
  }
  std::string tmp = o.out + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f << doc;
    if (!f.good()) return Fail("cannot write " + tmp);
  }
  if (std::rename(tmp.c_str(), o.out.c_str()) != 0) return Fail("cannot write " + o.out);
  std::cerr << "wrote " << o.out << ": " << files.size() << " files, id " << id << "\n";
  return 0;
}

int IdOrCanonical(int argc, char** argv, bool canonical) {
  if (WantsHelp(argc, argv)) {
    std::cout << (canonical ? kCanonicalUsage : kIdUsage);
    return 0;
  }
  if (argc != 3) return Fail(canonical ? kCanonicalUsage : kIdUsage);
  std::string doc;
  if (!ReadWhole(argv[2], &doc)) return Fail(std::string("cannot read ") + argv[2]);
  std::string text;
  if (!BuildCanonicalManifest(doc, &text))
    return Fail(std::string(argv[2]) +
                " is not a manifest the launcher accepts: a key of the identity is missing, "
                "'mirrors' is empty or no file entry is complete");
  if (canonical) {
    std::cout << text << "\n";
    return 0;
  }
  std::string id;
  if (!ComputeManifestId(doc, &id)) return Fail("cannot compute the identity");
  std::cout << id << "\n";
  return 0;
}

int Verify(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::cout << kVerifyUsage;
    return 0;
  }
  if (argc != 4) return Fail(kVerifyUsage);
  std::string doc;
  if (!ReadWhole(argv[2], &doc)) return Fail(std::string("cannot read ") + argv[2]);
  ClientManifest m;
  if (!ParseClientManifest(doc, &m)) return Fail(std::string(argv[2]) + " is not a manifest the launcher accepts");
  int problems = 0;
  std::string id;
  if (!ComputeManifestId(doc, &id)) {
    std::cout << "identity: cannot be computed (a key is missing)\n";
    ++problems;
  } else if (!VerifyManifestId(doc)) {
    std::cout << "identity: declared " << m.manifest_id << ", canonical " << id << "\n";
    ++problems;
  }
  for (const auto& f : m.files) {
    if (!IsSafeManifestPath(f.path)) {
      std::cout << "illegal path: " << f.path << "\n";
      ++problems;
      continue;
    }
    fs::path p = fs::path(argv[3]) / f.path;
    std::error_code ec;
    if (!fs::is_regular_file(p, ec)) {
      std::cout << "missing: " << f.path << "\n";
      ++problems;
      continue;
    }
    std::uint64_t size = fs::file_size(p, ec);
    if (size != f.size) {
      std::cout << "size differs: " << f.path << " (manifest " << f.size << ", found " << size << ")\n";
      ++problems;
      continue;
    }
    std::string hash;
    if (!Sha256OfFile(p, &hash) || !DigestEquals(hash, f.sha256)) {
      std::cout << "sha256 differs: " << f.path << "\n";
      ++problems;
    }
  }
  if (problems) {
    std::cout << problems << " difference(s)\n";
    return 1;
  }
  std::cout << "ok: " << m.files.size() << " files match\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    std::cout << kUsage;
    return argc < 2 ? 2 : 0;
  }
  std::string cmd = argv[1];
  if (cmd == "build") return Build(argc, argv);
  if (cmd == "id") return IdOrCanonical(argc, argv, false);
  if (cmd == "canonical") return IdOrCanonical(argc, argv, true);
  if (cmd == "verify") return Verify(argc, argv);
  if (cmd == "check-mirrors") return CheckMirrors(argc, argv);
  if (cmd == "blocks") return BlocksCommand(argc, argv);
  if (cmd == "publish") return PublishCommand(argc, argv);
  if (cmd == "check-site") return CheckSite(argc, argv);
  if (cmd == "launcher-feed") return LauncherFeedCommand(argc, argv);
  if (cmd == "launcher-publish") return LauncherPublishCommand(argc, argv);
  if (int rc = 0; RunSigningCommand(cmd, argc, argv, &rc)) return rc;
  std::cerr << "realmporter-manifest: unknown command " << cmd << "\n" << kUsage;
  return 2;
}
