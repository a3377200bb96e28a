// realmporter-manifest publish: a client folder to every mirror in one
// checked step. Each release goes into a folder of its own on every mirror
// (releases/<product>/<name>/, which the manifest's mirrors then name), so a
// player downloading the release before never finds a file replaced under
// it; the live manifest and its signature are switched last, and only after
// the new release has been read back from every mirror as a player reads it.
#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "manifest/block_match.h"
#include "manifest/blockmap.h"
#include "manifest/canonical.h"
#include "manifest/client_manifest.h"
#include "manifest/fetch_manifest_rules.h"
#include "manifest/json_scan.h"
#include "hash/sha256.h"
#include "net/url.h"
#include "tools/manifest_build.h"
#include "tools/manifest_check_mirrors.h"
#include "tools/manifest_sign.h"
#include "tools/mirror_http.h"
#include "tools/publish_targets.h"

namespace fs = std::filesystem;

bool WriteMapsOf(const fs::path& source, const std::string& rel, const fs::path& out, std::uint64_t* size,
                 std::uint64_t* mapSize);  // tools/manifest_blocks.cpp

namespace {

const char kPublishUsage[] =
    "usage: realmporter-manifest publish --product P --install-root R --display-name D\n"
    "         --key OPERATOR.key | --unsigned\n"
    "         --mirror URL TARGET [--mirror URL TARGET ...]\n"
    "         [--exclude PATTERN ...] [--created-at T] [--keep N] [--dry-run] [--verify-all]\n"
    "         [--allow-older] [--allow-other-product] [--allow-new-root]\n"
    "         [--cacert FILE | --insecure] [other build options] DIR\n"
    "\n"
    "Publishes the client in DIR to every mirror: builds its manifest (as build\n"
    "does), the block maps and region indexes of its files of 1 MiB or more, and\n"
    "signs the manifest with OPERATOR.key. URL is the mirror's base URL (the one\n"
    "built into the launcher, ending in /wow335/); TARGET is where that URL's files\n"
    "are written: a folder (local or mounted) or an rsync destination host:path\n"
    "(through the rsync program over SSH).\n"
    "\n"
    "First it reads what every mirror serves at URL<P>.json and refuses a release\n"
    "whose created_at is not newer than the newest one served (--allow-older), a\n"
    "served manifest of another product (--allow-other-product), and another\n"
    "install root than the served one (--allow-new-root). The release goes into\n"
    "TARGET/releases/<P>/<name>/ on every mirror, <name> made from created_at; the\n"
    "manifest's mirrors name URLreleases/<P>/<name>/, under which the files lie\n"
    "as <P>/files/<path> and <P>/blocks/<path>.blocks as before. Files unchanged\n"
    "since the served release are hard-linked from its folder where the target\n"
    "allows. Then every mirror's URL is asked for the new release as a player\n"
    "asks: the manifest and its signature byte for byte, every file's size, the\n"
    "SHA-256 of every file sent this time (--verify-all: of every file), every\n"
    "block map and region index. Only when all of it is right are\n"
    "<P>.json.sig and <P>.json replaced on every target, each under another name\n"
    "renamed into place, and every mirror is asked again that it serves the new\n"
    "manifest. The releases beyond the newest N (default 3) are removed, never\n"
    "the live one or the one before it.\n"
    "\n"
    "It prints the files added, changed and removed, what a player of the\n"
    "served release downloads (by blocks, and whole files), and the new\n"
    "created_at. --dry-run does all the reading and prints all of it, and writes\n"
    "nothing to any mirror. Exit 0 only when the release is live on every mirror.\n";

int Fail(const std::string& message) {
  std::cerr << "realmporter-manifest: publish: " << message << "\n";
  return 1;
}

std::string Slash(std::string s) { return s.empty() || s.back() == '/' ? s : s + "/"; }

// What a mirror serves now.
struct Live {
  bool present = false;
  std::string document, createdAt;
  ClientManifest manifest;
};

// created_at a is newer than b (both read as times).
bool Newer(const std::string& a, const std::string& b) { return !MayTakeCreatedAt(a, b) && MayTakeCreatedAt(b, a); }

// The release's folder name: created_at's letters and digits.
std::string ReleaseName(const std::string& createdAt) {
  std::string n;
  for (char c : createdAt)
    if (std::isalnum(static_cast<unsigned char>(c))) n += c;
  return n;
}

// The release folder a served manifest names for mirror `url`, or empty
// (a manifest of the layout before releases, or another mirror's).
std::string ReleaseOf(const ClientManifest& m, const std::string& url) {
  const std::string prefix = url + "releases/" + m.product + "/";
  for (const std::string& mirror : m.mirrors) {
    const std::string base = Slash(mirror);
    if (base.rfind(prefix, 0) == 0 && base.size() > prefix.size()) {
      const std::string rest = base.substr(prefix.size(), base.size() - prefix.size() - 1);
      if (rest.find('/') == std::string::npos) return rest;
    }
  }
  return {};
}

std::string Bytes(std::uint64_t n) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%llu bytes (%.2f MB)", static_cast<unsigned long long>(n), n / 1048576.0);
  return buf;
}

bool WriteText(const fs::path& file, const std::string& text) {
  std::ofstream f(file, std::ios::binary | std::ios::trunc);
  f << text;
  return static_cast<bool>(f.flush());
}

bool ReadText(const fs::path& file, std::string* text) { return ReadWhole(file.string(), text); }

// Bytes a player holding `old` (streamed from `oldUrl`) fetches to build the
// file of `map`: the ranges the launcher's plan asks for (neighbouring ranges
// closer than its 16 KiB merge gap fetched as one) and the map itself. False
// when the old file could not be read.
bool BytesByBlocks(CURL* curl, const HttpOptions& http, const std::string& oldUrl, const std::string& mapBytes,
                   std::uint64_t* cost) {
  BlockMap map;
  if (!ParseBlockMap(mapBytes, &map)) return false;
  BlockScanner scanner(map);
  Answer a = Request(curl, http, oldUrl, "", Body::Stream, false, [&](const unsigned char* p, std::size_t n) {
    scanner.Feed(p, n);
    return true;
  });
  if (!a.error.empty() || a.status != 200) return false;
  scanner.Finish();
  *cost = BytesToFetch(PlanDelta(map, scanner.matches(), 16384)) + mapBytes.size();
  return true;
}

// Nothing names an unfinished release: it goes, so a new attempt takes its
// name again.
void DropRelease(const std::vector<Target>& targets, const std::string& product, const std::string& name) {
  for (const Target& t : targets) {
    std::string error;
    RemoveRelease(t, product, name, &error);
  }
}

struct Options {
  BuildOptions build;
  std::vector<Target> targets;
  std::string key;
  HttpOptions http;
  int keep = 3;
  bool unsignedOk = false, dryRun = false, verifyAll = false;
  bool allowOlder = false, allowOtherProduct = false, allowNewRoot = false;
};

int ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--mirror" && i + 2 < argc) {
      Target t;
      t.url = Slash(argv[i + 1]);
      t.dest = argv[i + 2];
      t.rsync = IsRsyncDestination(t.dest);
      o->targets.push_back(t);
      i += 2;
    } else if (a == "--key" && i + 1 < argc) {
      o->key = argv[++i];
    } else if (a == "--keep" && i + 1 < argc) {
      o->keep = std::atoi(argv[++i]);
      if (o->keep < 2) return Fail("--keep must be 2 or more: the live release and the one before stay");
    } else if (a == "--cacert" && i + 1 < argc) {
      o->http.cacert = argv[++i];
    } else if (a == "--insecure") {
      o->http.insecure = true;
    } else if (a == "--unsigned") {
      o->unsignedOk = true;
    } else if (a == "--dry-run") {
      o->dryRun = true;
    } else if (a == "--verify-all") {
      o->verifyAll = true;
    } else if (a == "--allow-older") {
      o->allowOlder = true;
    } else if (a == "--allow-other-product") {
      o->allowOtherProduct = true;
    } else if (a == "--allow-new-root") {
      o->allowNewRoot = true;
    } else if (a == "--out") {
      return Fail("publish writes the manifest to the mirrors, not to --out");
    } else {
      const int taken = TakeBuildOption(argc, argv, &i, &o->build);
      if (taken < 0) return Fail("option " + a + " needs a valid value");
      if (taken > 0) continue;
      if (!a.empty() && a[0] == '-') return Fail("unknown option " + a + "\n" + kPublishUsage);
      if (!o->build.dir.empty()) return Fail("more than one folder given");
      o->build.dir = a;
    }
  }
  const BuildOptions& b = o->build;
  if (b.product.empty() || b.installRoot.empty() || b.displayName.empty() || o->targets.empty() || b.dir.empty())
    return Fail(std::string("needs --product, --install-root, --display-name, --mirror URL TARGET and DIR\n") +
                kPublishUsage);
  if (!b.mirrors.empty()) return Fail("--mirror takes two values here: the mirror's URL and its target");
  if (o->key.empty() == !o->unsignedOk)
    return Fail("say --key OPERATOR.key, or --unsigned for launchers built without a key (not both)");
  return 0;
}

}  // namespace

int PublishCommand(int argc, char** argv) {
  for (int i = 2; i < argc; ++i)
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) return std::cout << kPublishUsage, 0;
  Options o;
  if (ParseOptions(argc, argv, &o)) return 1;
  std::cout << std::unitbuf;  // each step as it happens, in order with rsync's and the warnings
  BuildOptions& b = o.build;
  const std::string& product = b.product;
  if (b.createdAt.empty()) b.createdAt = NowUtc();
  CreatedAt when;
  if (!ParseCreatedAt(b.createdAt, &when)) return Fail("--created-at must read as a time: " + b.createdAt);

  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return Fail("libcurl cannot start");
  CURL* curl = curl_easy_init();
  if (!curl) return Fail("libcurl cannot start");
  struct CurlEnd {
    CURL* c;
    ~CurlEnd() { curl_easy_cleanup(c), curl_global_cleanup(); }
  } curlEnd{curl};

  // 1. What is live: every mirror, as a launcher asks.
  std::cout << "publishing " << product << " from " << b.dir << (o.dryRun ? " (dry run: nothing is written)" : "")
            << "\n";
  std::vector<Live> live(o.targets.size());
  int newest = -1;
  for (size_t k = 0; k < o.targets.size(); ++k) {
    const Target& t = o.targets[k];
    std::cout << "mirror " << k + 1 << ": " << t.url << " -> " << DescribeTarget(t) << "\n";
    Answer a = Request(curl, o.http, t.url + product + ".json", "", Body::Keep);
    if (!a.error.empty()) return Fail("cannot read what " + t.url + " serves: " + a.error);
    if (a.status == 404) {
      std::cout << "  serves no " << product << ".json yet\n";
      continue;
    }
    if (a.status != 200) return Fail(t.url + product + ".json answers HTTP " + std::to_string(a.status));
    Live& l = live[k];
    std::string id;
    if (!ParseClientManifest(a.body, &l.manifest) || !ComputeManifestId(a.body, &id)) {
      std::cout << "  serves a " << product << ".json that no launcher accepts; it is replaced\n";
      continue;
    }
    l.present = true;
    l.document = a.body;
    JsonFindString(a.body, "created_at", &l.createdAt);
    const std::string release = ReleaseOf(l.manifest, t.url);
    std::cout << "  serves " << l.manifest.product << " created " << l.createdAt << ", " << l.manifest.files.size()
              << " files, " << (release.empty() ? "files at " + t.url + product + "/files/" : "release " + release)
              << "\n";
    if (newest < 0 || Newer(l.createdAt, live[newest].createdAt)) newest = static_cast<int>(k);
  }
  const Live* served = newest >= 0 ? &live[newest] : nullptr;
  if (served) {
    for (size_t k = 0; k < live.size(); ++k)
      if (live[k].present && live[k].createdAt != served->createdAt)
        std::cout << "note: mirror " << k + 1 << " serves an older manifest (" << live[k].createdAt << ") than mirror "
                  << newest + 1 << " (" << served->createdAt << ")\n";
    int refused = 0;
    for (size_t k = 0; k < live.size(); ++k)
      if (live[k].present && live[k].manifest.product != product && !o.allowOtherProduct) {
        std::cerr << "refused: " << product << ".json on mirror " << k + 1 << " is of another product ("
                  << live[k].manifest.product << "); --allow-other-product replaces it\n";
        ++refused;
      }
    if (!Newer(b.createdAt, served->createdAt) && !o.allowOlder) {
      std::cerr << "refused: created_at " << b.createdAt << " is not newer than the served " << served->createdAt
                << "; keyed launchers that took that one refuse this one (--allow-older publishes it all the "
                   "same)\n";
      ++refused;
    }
    if (served->manifest.install_root != b.installRoot && !o.allowNewRoot) {
      std::cerr << "refused: install root " << b.installRoot << " is not the served " << served->manifest.install_root
                << "; players' clients would be downloaded again into a new folder (--allow-new-root)\n";
      ++refused;
    }
    if (refused) return 1;
  }

  // 2. The release's name: new on every target.
  std::vector<std::vector<std::string>> releases(o.targets.size());
  std::set<std::string> taken;
  for (size_t k = 0; k < o.targets.size(); ++k) {
    std::string error;
    if (!ListReleases(o.targets[k], product, &releases[k], &error))
      return Fail("cannot list the releases on " + o.targets[k].dest + ": " + error);
    taken.insert(releases[k].begin(), releases[k].end());
  }
  std::string name = ReleaseName(b.createdAt);
  for (int n = 2; taken.count(name); ++n) name = ReleaseName(b.createdAt) + "-" + std::to_string(n);
  for (const Target& t : o.targets) b.mirrors.push_back(t.url + "releases/" + product + "/" + name + "/");

  // 3. The manifest, its signature and the maps, staged.
  char stageTemplate[] = "/tmp/realmporter-publish-XXXXXX";
  if (!mkdtemp(stageTemplate)) return Fail("cannot make a staging folder");
  const fs::path work = stageTemplate, stage = work / "release";
  struct StageEnd {
    fs::path p;
    ~StageEnd() {
      std::error_code ec;
      fs::remove_all(p, ec);
    }
  } stageEnd{work};
  std::string doc, problem;
  std::vector<ManifestFile> files;
  if (!(problem = MakeManifest(b, &doc, &files)).empty()) return Fail(problem);
  const fs::path docPath = stage / (product + ".json");
  std::error_code ec;
  fs::create_directories(stage, ec);
  if (!WriteText(docPath, doc)) return Fail("cannot write " + docPath.string());
  std::string sig;
  if (!o.unsignedOk) {
    if (!(problem = SignFileWithKey(o.key, docPath.string())).empty()) return Fail(problem);
    ReadText(docPath.string() + ".sig", &sig);
  }
  const fs::path source = fs::absolute(b.dir);
  std::vector<std::string> same, rest = {product + ".json"};
  if (!sig.empty()) rest.push_back(product + ".json.sig");
  std::map<std::string, const ManifestFile*> before;
  if (served)
    for (const ManifestFile& f : served->manifest.files) before[f.path] = &f;
  std::vector<std::string> added, changed, maps;
  std::uint64_t wholeCost = 0, blockCost = 0;
  for (const ManifestFile& f : files) {
    const std::string rel = product + "/files/" + f.path;
    fs::create_directories((stage / rel).parent_path(), ec);
    fs::create_symlink(source / f.path, stage / rel, ec);
    if (ec) return Fail("cannot stage " + f.path + ": " + ec.message());
    std::string mapBytes;
    if (f.size >= kBlockMapMinFileSize) {
      std::uint64_t size = 0, mapSize = 0;
      if (!WriteMapsOf(source, f.path, stage / product / "blocks", &size, &mapSize))
        return Fail("cannot make the block map of " + f.path);
      if (size != f.size) return Fail(f.path + " changed while it was read");
      for (const char* ext : {".blocks", ".regions"}) maps.push_back(product + "/blocks/" + f.path + ext);
      ReadText(stage / product / "blocks" / (f.path + ".blocks"), &mapBytes);
    }
    auto old = before.find(f.path);
    if (old != before.end() && old->second->size == f.size && DigestEquals(old->second->sha256, f.sha256)) {
      same.push_back(rel);
      before.erase(old);
      continue;
    }
    rest.push_back(rel);
    wholeCost += f.size;
    std::uint64_t cost = f.size;
    if (old != before.end() && !mapBytes.empty() &&
        !BytesByBlocks(curl, o.http, BuildFileUrl(served->manifest.mirrors.front(), product, f.path), mapBytes, &cost))
      std::cout << "note: the served " << f.path << " could not be read; counted whole\n";
    blockCost += std::min(cost, f.size);
    (old == before.end() ? added : changed).push_back(f.path);
    if (old != before.end()) before.erase(old);
  }
  rest.insert(rest.end(), maps.begin(), maps.end());

  // The report of what changed, before anything is written.
  auto list = [](const char* what, const std::vector<std::string>& paths) {
    std::cout << what << ": " << paths.size() << "\n";
    for (const std::string& p : paths) std::cout << "  " << p << "\n";
  };
  std::vector<std::string> removed;
  for (const auto& [path, f] : before) removed.push_back(path);
  std::cout << "release " << name << ", created_at " << b.createdAt << ", " << files.size() << " files, "
            << maps.size() / 2 << " block map(s)" << (sig.empty() ? ", unsigned" : ", signed") << "\n";
  list("added", added);
  list("changed", changed);
  list("removed", removed);
  if (served)
    std::cout << "a player of the served release (" << served->createdAt << ") downloads " << Bytes(blockCost)
              << " by blocks, " << Bytes(wholeCost) << " as whole files\n";
  if (o.dryRun) {
    std::cout << "dry run: would upload " << rest.size() << " files and link or copy " << same.size()
              << " unchanged ones into releases/" << product << "/" << name << "/ on " << o.targets.size()
              << " mirror(s), then switch " << product << ".json; nothing was written\n";
    return 0;
  }

  // 4. Upload, every mirror.
  for (size_t k = 0; k < o.targets.size(); ++k) {
    const Target& t = o.targets[k];
    // Linked only from the release of the newest served manifest, whose
    // SHA-256 values made `same`: a mirror left on an older release holds
    // other bytes under the same paths.
    const std::string prev = served ? ReleaseOf(served->manifest, t.url) : std::string();
    const bool prevThere = std::count(releases[k].begin(), releases[k].end(), prev) > 0;
    UploadCount count;
    std::string error;
    if (!UploadRelease(t, stage.string(), product, name, prevThere ? prev : "", same, rest, &count, &error)) {
      DropRelease(o.targets, product, name);
      return Fail("upload to mirror " + std::to_string(k + 1) + " failed, nothing switched: " + error);
    }
    std::cout << "mirror " << k + 1 << ": uploaded " << count.copied << " files"
              << (t.rsync ? "" : " (" + Bytes(count.copiedBytes) + ")") << ", linked " << count.linked
              << " unchanged from " << (prevThere ? prev : "(none)") << "\n";
  }

  // 5. Read the release back from every mirror's URL as a player would.
  std::set<std::string> sent(rest.begin(), rest.end());
  int problems = 0, hashed = 0;
  for (size_t k = 0; k < o.targets.size(); ++k) {
    const std::string base = b.mirrors[k];
    auto bad = [&](const std::string& what, const std::string& why) {
      std::cout << "mirror " << k + 1 << " " << what << ": " << why << "\n";
      ++problems;
    };
    auto exact = [&](const std::string& rel, const std::string& want) {
      Answer a = Request(curl, o.http, base + rel, "", Body::Keep);
      if (!a.error.empty() || a.status != 200)
        bad(rel, a.error.empty() ? "HTTP " + std::to_string(a.status) : a.error);
      else if (a.body != want)
        bad(rel, "differs from what was uploaded");
    };
    exact(product + ".json", doc);
    if (!sig.empty()) exact(product + ".json.sig", sig);
    for (const std::string& m : maps) {
      std::string want;
      ReadText(stage / m, &want);
      exact(m, want);
    }
    for (const ManifestFile& f : files) {
      const std::string url = BuildFileUrl(base, product, f.path);
      const bool whole = o.verifyAll || sent.count(product + "/files/" + f.path);
      hashed += whole;
      Answer a = Request(curl, o.http, url, "", whole ? Body::Hash : Body::Discard, !whole);
      if (!a.error.empty() || a.status != 200)
        bad(f.path, a.error.empty() ? "HTTP " + std::to_string(a.status) : a.error);
      else if (whole ? a.bytes != f.size : a.length >= 0 && static_cast<std::uint64_t>(a.length) != f.size)
        bad(f.path, "size " + std::to_string(whole ? a.bytes : a.length) + ", manifest " + std::to_string(f.size));
      else if (whole && !DigestEquals(a.sha256, f.sha256))
        bad(f.path, "SHA-256 differs");
    }
  }
  if (problems) {
    DropRelease(o.targets, product, name);
    return Fail(std::to_string(problems) + " problem(s) reading the new release back; nothing switched, " +
                (served ? "the release created " + served->createdAt + " stays live" : "nothing is live yet"));
  }
  std::cout << "read back from " << o.targets.size() << " mirror(s): manifest, " << (sig.empty() ? "" : "signature, ")
            << maps.size() << " map file(s), " << files.size() << " files (" << hashed << " of them by SHA-256)\n";

  // 6. Switch, then ask every mirror again.
  for (size_t k = 0; k < o.targets.size(); ++k) {
    std::string error;
    if (!SwitchManifest(o.targets[k], stage.string(), product, &error))
      return Fail("switching mirror " + std::to_string(k + 1) + " failed: " + error);
  }
  int serving = 0;
  for (size_t k = 0; k < o.targets.size(); ++k) {
    Answer a = Request(curl, o.http, o.targets[k].url + product + ".json", "", Body::Keep);
    if (a.error.empty() && a.status == 200 && a.body == doc)
      ++serving;
    else
      std::cout << "mirror " << k + 1 << " does not serve the new " << product << ".json after the switch\n";
  }

  // 7. Old releases: keep the newest, the live one and the one before.
  for (size_t k = 0; k < o.targets.size(); ++k) {
    std::vector<std::string> names = releases[k];
    names.push_back(name);
    std::sort(names.begin(), names.end());
    const std::string prev = live[k].present ? ReleaseOf(live[k].manifest, o.targets[k].url) : std::string();
    const std::string newestBefore = served ? ReleaseOf(served->manifest, o.targets[k].url) : std::string();
    const size_t from = names.size() > static_cast<size_t>(o.keep) ? names.size() - o.keep : 0;
    for (size_t i = 0; i < from; ++i) {
      if (names[i] == name || names[i] == prev || names[i] == newestBefore) continue;
      std::string error;
      if (RemoveRelease(o.targets[k], product, names[i], &error))
        std::cout << "mirror " << k + 1 << ": removed release " << names[i] << "\n";
      else
        std::cout << "mirror " << k + 1 << ": could not remove release " << names[i] << ": " << error << "\n";
    }
  }
  std::cout << serving << " of " << o.targets.size() << " mirror(s) serve " << product << ".json created "
            << b.createdAt << " (release " << name << ")\n";
  return serving == static_cast<int>(o.targets.size()) ? 0 : 1;
}
