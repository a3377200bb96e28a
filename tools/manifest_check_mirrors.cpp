// realmporter-manifest check-mirrors: asks every mirror a manifest lists for
// what the launcher will ask it for. The launcher takes each file from
// whichever mirror answers, so a mirror that lacks files, serves a damaged one
// or still carries an older manifest goes unseen by a download that succeeds.
#include "tools/manifest_check_mirrors.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <functional>
#include <iostream>
#include <vector>
#include <string>

#include "manifest/block_regions.h"
#include "manifest/blockmap.h"
#include "manifest/canonical.h"
#include "manifest/client_manifest.h"
#include "manifest/fetch_manifest_rules.h"
#include "manifest/json_scan.h"
#include "hash/sha256.h"
#include "manifest/signature.h"
#include "net/url.h"
#include "tools/launcher_endpoints.h"
#include "tools/manifest_sign.h"
#include "tools/mirror_http.h"

namespace {

const char kUsage[] =
    "usage: realmporter-manifest check-mirrors MANIFEST_FILE [--deep] [--pub NAME.pub]\n"
    "         [--launcher RealmPorter.exe | --mirror-list FILE] [--cacert FILE | --insecure]\n"
    "\n"
    "With --launcher (the release exe the players have) or --mirror-list (one\n"
    "base URL a line), first asks the launcher's own mirrors, from which it reads\n"
    "the manifest, for <base><product>.json (and its signature with --pub): each\n"
    "must serve MANIFEST_FILE's identity. A different one is named as older,\n"
    "newer or of another product; a newer one served means MANIFEST_FILE is\n"
    "older than what players already have.\n"
    "Asks every mirror that MANIFEST_FILE lists for what the launcher asks it for:\n"
    "the manifest document <mirror><product>.json, whose identity must be that of\n"
    "MANIFEST_FILE, and every file <mirror><product>/files/<path>, whose status and\n"
    "size must match; a ranged request must answer 206 (when the manifest says\n"
    "range_supported), or the players' downloads cannot resume. --deep also\n"
    "downloads every file and checks its SHA-256. Every file of 1 MiB or more\n"
    "must have its block map <mirror><product>/blocks/<path>.blocks made for the\n"
    "manifest's size and SHA-256, and its region index <path>.regions made from\n"
    "that map: without them players updating download the whole file.\n"
    "--pub NAME.pub also checks each\n"
    "mirror's <product>.json.sig against the operator's public key, as a keyed\n"
    "launcher does: a missing, stale or wrong signature is a problem, since such a\n"
    "launcher refuses that mirror's manifest. Without --pub signatures are not\n"
    "checked, and the output says so.\n"
    "Prints one line per problem and a summary per mirror; exits 0 only when no\n"
    "mirror has a problem.\n"
    "Certificates are verified against the system's authorities; --cacert FILE\n"
    "trusts the authorities in FILE instead, and --insecure verifies none (the\n"
    "launcher itself accepts any certificate, so a certificate problem does not\n"
    "stop the players, but it is reported here).\n";

struct Options {
  std::string manifestFile, pub, launcher, mirrorList;
  HttpOptions http;
  bool deep = false;
};

// The complete length in "bytes a-b/N" or "bytes */N".
bool RangeTotal(const std::string& contentRange, std::uint64_t* total) {
  const size_t slash = contentRange.rfind('/');
  if (contentRange.rfind("bytes ", 0) != 0 || slash == std::string::npos || slash + 1 >= contentRange.size())
    return false;
  std::uint64_t v = 0;
  for (size_t i = slash + 1; i < contentRange.size(); ++i) {
    const char c = contentRange[i];
    if (c < '0' || c > '9' || v > (UINT64_MAX - 9) / 10) return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  *total = v;
  return true;
}

std::string SizeProblem(std::uint64_t found, std::uint64_t expected) {
  return "size " + std::to_string(found) + ", manifest " + std::to_string(expected);
}

std::string StatusProblem(const Answer& a) {
  if (!a.error.empty()) return "no answer: " + a.error;
  if (a.status == 404) return "missing (HTTP 404)";
  return "HTTP " + std::to_string(a.status);
}

// Empty when the mirror serves the file as the manifest describes it.
std::string CheckFile(CURL* curl, const Options& o, const std::string& url, const ManifestFile& f, bool ranged) {
  if (ranged && f.size > 0) {
    // Its last byte: the answer's complete length is the file's size.
    Answer a = Request(curl, o.http, url, std::to_string(f.size - 1) + "-", Body::Discard);
    std::uint64_t total = 0;
    if (a.error.empty() && a.status == 416)
      return RangeTotal(a.contentRange, &total) ? SizeProblem(total, f.size)
                                                : "shorter than the manifest's " + std::to_string(f.size) + " bytes";
    if (a.error.empty() && a.status == 200) return "a ranged request answered 200, not 206 (downloads cannot resume)";
    if (!a.error.empty() || a.status != 206) return StatusProblem(a);
    if (!RangeTotal(a.contentRange, &total)) return "206 without the file's size in Content-Range";
    if (total != f.size) return SizeProblem(total, f.size);
  } else {
    Answer a = Request(curl, o.http, url, "", Body::Discard, true);
    if (!a.error.empty() || a.status != 200) return StatusProblem(a);
    if (a.length >= 0 && static_cast<std::uint64_t>(a.length) != f.size)
      return SizeProblem(static_cast<std::uint64_t>(a.length), f.size);
  }
  if (!o.deep) return {};
  Answer whole = Request(curl, o.http, url, "", Body::Hash);
  if (!whole.error.empty() || whole.status != 200) return StatusProblem(whole);
  if (whole.bytes != f.size) return SizeProblem(whole.bytes, f.size);
  if (!DigestEquals(whole.sha256, f.sha256)) return "SHA-256 differs (" + whole.sha256 + ")";
  return {};
}

// "<identity>, <n> files, created <time>" of a document the launcher accepts.
std::string Describe(const std::string& document, const std::string& id) {
  ClientManifest m;
  std::string created;
  JsonFindString(document, "created_at", &created);
  ParseClientManifest(document, &m);
  return id + ", " + std::to_string(m.files.size()) + " files, created " + (created.empty() ? "?" : created);
}

// What a served manifest that is not the local one is, for the operator.
std::string Compare(const std::string& served, const std::string& servedId, const std::string& local,
                    const std::string& localId, const std::string& localName) {
  ClientManifest a, b;
  std::string createdA, createdB;
  ParseClientManifest(served, &a);
  ParseClientManifest(local, &b);
  JsonFindString(served, "created_at", &createdA);
  JsonFindString(local, "created_at", &createdB);
  const std::string both = " (" + Describe(served, servedId) + "); " + localName + " is " + Describe(local, localId);
  if (a.product != b.product) return "a manifest of another product, " + a.product + both;
  const bool newer = MayTakeCreatedAt(createdB, createdA) && !MayTakeCreatedAt(createdA, createdB);
  const bool older = MayTakeCreatedAt(createdA, createdB) && !MayTakeCreatedAt(createdB, createdA);
  if (newer)
    return "a newer manifest" + both + "; warning: " + localName +
           " is older than the one served, and keyed launchers that took the served one refuse it";
  if (older) return "an older manifest" + both;
  return "another manifest of the same created_at" + both;
}

// Problems of a file's block map and region index on a mirror: missing, or
// made for another version of the file.
std::vector<std::string> MapProblems(CURL* curl, const Options& o, const std::string& mirror,
                                     const std::string& product, const ManifestFile& f) {
  std::vector<std::string> problems;
  Answer map = Request(curl, o.http, BuildBlockMapUrl(mirror, product, f.path), "", Body::Keep);
  BlockMap parsed;
  if (!map.error.empty() || map.status != 200) {
    problems.push_back("block map " + StatusProblem(map) + " (players updating download the whole file)");
    return problems;
  }
  if (!ParseBlockMap(map.body, &parsed)) {
    problems.push_back("block map damaged (players updating download the whole file)");
    return problems;
  }
  if (parsed.fileSize != f.size || !DigestEquals(parsed.sha256, f.sha256)) {
    problems.push_back("block map made for another version of the file (players download it whole)");
    return problems;
  }
  Answer regions = Request(curl, o.http, BuildRegionIndexUrl(mirror, product, f.path), "", Body::Keep);
  std::string want;
  if (!regions.error.empty() || regions.status != 200)
    problems.push_back("region index " + StatusProblem(regions) + " (a repair fetches the whole map)");
  else if (!RegionIndexOfMap(map.body, kBlocksPerRegion, &want) || regions.body != want)
    problems.push_back("region index not made from the served block map (a repair fetches the whole map)");
  return problems;
}

}  // namespace

int CheckMirrors(int argc, char** argv) {
  Options o;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (a == "--deep") {
      o.deep = true;
    } else if (a == "--insecure") {
      o.http.insecure = true;
    } else if (a == "--pub" && i + 1 < argc) {
      o.pub = argv[++i];
    } else if (a == "--cacert" && i + 1 < argc) {
      o.http.cacert = argv[++i];
    } else if (a == "--launcher" && i + 1 < argc) {
      o.launcher = argv[++i];
    } else if (a == "--mirror-list" && i + 1 < argc) {
      o.mirrorList = argv[++i];
    } else if (!a.empty() && a[0] != '-' && o.manifestFile.empty()) {
      o.manifestFile = a;
    } else {
      std::cerr << "realmporter-manifest: check-mirrors: unexpected " << a << "\n" << kUsage;
      return 2;
    }
  }
  if (o.manifestFile.empty() || (o.http.insecure && !o.http.cacert.empty()) ||
      (!o.launcher.empty() && !o.mirrorList.empty())) {
    std::cerr << kUsage;
    return 2;
  }
  if (!o.pub.empty() && !IsPublicKeyFile(o.pub)) {
    std::cerr << "realmporter-manifest: " << o.pub << " is not a readable P-256 public key\n";
    return 1;
  }
  std::string document, localId;
  ClientManifest m;
  if (!ReadWhole(o.manifestFile, &document)) {
    std::cerr << "realmporter-manifest: cannot read " << o.manifestFile << "\n";
    return 1;
  }
  if (!ParseClientManifest(document, &m) || !ComputeManifestId(document, &localId)) {
    std::cerr << "realmporter-manifest: " << o.manifestFile << " is not a manifest the launcher accepts\n";
    return 1;
  }
  std::vector<std::string> bases;
  std::string site, error;
  if ((!o.launcher.empty() && !EndpointsOfLauncher(o.launcher, &bases, &site, &error)) ||
      (!o.mirrorList.empty() && !MirrorListOfFile(o.mirrorList, &bases, &error))) {
    std::cerr << "realmporter-manifest: " << error << "\n";
    return 1;
  }
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    std::cerr << "realmporter-manifest: libcurl cannot start\n";
    return 1;
  }
  CURL* curl = curl_easy_init();
  if (!curl) {
    std::cerr << "realmporter-manifest: libcurl cannot start\n";
    curl_global_cleanup();
    return 1;
  }
  const std::string documentName = m.product + ".json";
  int allProblems = 0;
  // The manifest and its signature as `where` serves them; false when it
  // does not answer at all.
  auto checkDocument = [&](const std::string& where,
                           const std::function<void(const std::string&, const std::string&)>& report) {
    Answer a = Request(curl, o.http, EnsureTrailingSlash(where) + documentName, "", Body::Keep);
    if (!a.error.empty()) {
      report(documentName, "no answer: " + a.error);
      return false;
    }
    std::string id;
    if (a.status != 200) {
      report(documentName, StatusProblem(a));
    } else if (!ComputeManifestId(a.body, &id)) {
      report(documentName, "not a manifest the launcher accepts");
    } else if (id != localId) {
      report(documentName, Compare(a.body, id, document, localId, o.manifestFile));
    }
    if (!o.pub.empty() && a.status == 200) {
      const std::string sigName = documentName + kSignatureSuffix;
      Answer sig = Request(curl, o.http, EnsureTrailingSlash(where) + sigName, "", Body::Keep);
      if (!sig.error.empty() || sig.status != 200) {
        report(sigName, StatusProblem(sig));
      } else if (std::string problem = SignatureProblem(o.pub, a.body, sig.body); !problem.empty()) {
        report(sigName, problem);
      }
    }
    return true;
  };
  for (const std::string& base : bases) {
    int problems = 0;
    checkDocument(base, [&](const std::string& what, const std::string& problem) {
      std::cout << "launcher's mirror " << base << " " << what << ": " << problem << "\n" << std::flush;
      ++problems;
    });
    std::cout << "launcher's mirror " << base << ": " << (problems ? std::to_string(problems) + " problem(s)" : "ok")
              << " in " << documentName << (o.pub.empty() ? "" : " with its signature") << "\n";
    allProblems += problems;
  }
  for (const std::string& mirror : m.mirrors) {
    int problems = 0;
    auto report = [&](const std::string& what, const std::string& problem) {
      std::cout << mirror << " " << what << ": " << problem << "\n" << std::flush;
      ++problems;
    };
    if (!checkDocument(mirror, report)) {
      // Nothing else would answer either: one line, not one per file.
      std::cout << mirror << ": unreachable, files not checked\n";
      allProblems += problems;
      continue;
    }
    int mapped = 0;
    for (const ManifestFile& f : m.files) {
      std::string problem = CheckFile(curl, o, BuildFileUrl(mirror, m.product, f.path), f, m.range_supported);
      if (!problem.empty()) report(f.path, problem);
      if (f.size < kBlockMapMinFileSize) continue;
      ++mapped;
      for (const std::string& p : MapProblems(curl, o, mirror, m.product, f)) report(f.path, p);
    }
    std::cout << mirror << ": " << (problems ? std::to_string(problems) + " problem(s)" : std::string("ok")) << " in "
              << documentName << (o.pub.empty() ? "" : " with its signature") << " and " << m.files.size() << " files"
              << (o.deep ? ", SHA-256 checked" : "") << ", " << mapped << " block map(s)\n";
    allProblems += problems;
  }
  curl_easy_cleanup(curl);
  curl_global_cleanup();
  std::cout << m.mirrors.size() << " mirror(s): "
            << (allProblems ? std::to_string(allProblems) + " problem(s)" : std::string("all as the manifest says"))
            << "\n";
  if (o.pub.empty())
    std::cout << "signatures not checked: no --pub given (a keyed launcher refuses a mirror whose " << documentName
              << kSignatureSuffix << " is missing or stale)\n";
  if (!o.deep)
    std::cout << "SHA-256 of the files not checked: no --deep given (a damaged file of the right size goes unseen)\n";
  if (bases.empty())
    std::cout << "the launcher's own mirrors not checked: no --launcher or --mirror-list given (the launcher reads "
              << documentName << " from those, and only the files from the manifest's list)\n";
  return allProblems ? 1 : 0;
}
