// realmporter-manifest launcher-publish: puts a launcher release on the site
// in the order that never offers a player a file that is not there yet, then
// reads it back from the site's own address as a launcher does.
#include <curl/curl.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "hash/sha256.h"
#include "manifest/launcher_feed.h"
#include "tools/manifest_launcher.h"
#include "tools/manifest_sign.h"

namespace fs = std::filesystem;

bool ReadWhole(const std::string& path, std::string* out);  // tools/realmporter-manifest.cpp

namespace {

const char kPublishUsage[] =
    "usage: realmporter-manifest launcher-publish --site URL --to DIR --pub NAME.pub\n"
    "         [--cacert FILE | --insecure] FEED EXE\n"
    "\n"
    "Publishes the launcher release EXE and its signed FEED (written by\n"
    "launcher-feed and signed by sign, FEED.sig beside it) into DIR, the folder\n"
    "the site URL serves (a local or mounted copy of its root). The feed's URL\n"
    "must lie under the site and name the version (RealmPorter-1.1.0.exe), so\n"
    "that a launcher still downloading the previous release keeps its file. EXE\n"
    "goes first, then the feed, then its signature: a launcher never reads a feed\n"
    "whose exe is not there. Then all three are fetched back from URL as a\n"
    "launcher fetches them: the signature by NAME.pub, the version, the size and\n"
    "the SHA-256, and what was seen is printed.\n";

int Fail(const std::string& message) {
  std::cerr << "realmporter-manifest: " << message << "\n";
  return 1;
}

// Written beside its place and renamed over it: a launcher reading the file
// meanwhile gets the old one or the new one, never a part.
bool PutFile(const fs::path& to, const std::string& bytes) {
  std::error_code ec;
  fs::create_directories(to.parent_path(), ec);
  const fs::path temp = to.string() + ".uploading";
  {
    std::ofstream f(temp, std::ios::binary | std::ios::trunc);
    f << bytes;
    if (!f.flush()) return false;
  }
  fs::rename(temp, to, ec);
  return !ec;
}

}  // namespace

std::string FetchUrl(const std::string& url, const FetchTls& tls, std::string* body) {
  body->clear();
  CURL* curl = curl_easy_init();
  if (!curl) return "cannot start curl";
  // An exe is the largest document read; anything longer is no release.
  const Answer answer = Request(curl, tls, url, "", Body::Stream, false, [body](const unsigned char* data, size_t n) {
    if (body->size() + n > kLauncherFeedMaxExeBytes) return false;
    body->append(reinterpret_cast<const char*>(data), n);
    return true;
  });
  curl_easy_cleanup(curl);
  if (!answer.error.empty()) return url + ": " + answer.error;
  if (answer.status != 200) return url + ": HTTP " + std::to_string(answer.status);
  return {};
}

int LauncherPublishCommand(int argc, char** argv) {
  std::string site, to, pub, feedPath, exePath;
  FetchTls tls;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") return std::cout << kPublishUsage, 0;
    auto value = [&](std::string* v) {
      if (i + 1 >= argc) return false;
      *v = argv[++i];
      return true;
    };
    bool ok = true;
    if (a == "--site")
      ok = value(&site);
    else if (a == "--to")
      ok = value(&to);
    else if (a == "--pub")
      ok = value(&pub);
    else if (a == "--cacert")
      ok = value(&tls.cacert);
    else if (a == "--insecure")
      tls.insecure = true;
    else if (!a.empty() && a[0] == '-')
      return Fail("unknown option " + a + "\n" + kPublishUsage);
    else if (feedPath.empty())
      feedPath = a;
    else if (exePath.empty())
      exePath = a;
    else
      return Fail(std::string("more than FEED and EXE given\n") + kPublishUsage);
    if (!ok) return Fail("option " + a + " needs a value\n" + kPublishUsage);
  }
  if (site.empty() || to.empty() || pub.empty() || exePath.empty())
    return Fail(std::string("launcher-publish needs --site, --to, --pub, FEED and EXE\n") + kPublishUsage);
  if (site.back() != '/') site += '/';
  if (!IsPublicKeyFile(pub)) return Fail("--pub " + pub + " is not a P-256 public key");

  // What is about to go up, checked as the launcher will check it.
  std::string feedText, sigText, exe, exeHash;
  LauncherFeed feed;
  if (!ReadWhole(feedPath, &feedText) || !ParseLauncherFeed(feedText, &feed))
    return Fail(feedPath + " is not a launcher feed (write it with launcher-feed)");
  if (!ReadWhole(feedPath + ".sig", &sigText)) return Fail(feedPath + ".sig is missing: sign the feed first");
  const std::string sigProblem = SignatureProblem(pub, feedText, sigText);
  if (!sigProblem.empty()) return Fail(feedPath + ".sig: " + sigProblem);
  if (!ReadWhole(exePath, &exe) || !Sha256HexOfString(exe, &exeHash)) return Fail("cannot read " + exePath);
  if (exe.size() != feed.size || exeHash != feed.sha256)
    return Fail(exePath + " is not the exe " + feedPath + " names (size or SHA-256 differ)");
  const std::string version = FormatLauncherVersion(feed.version);
  if (feed.url.rfind(site, 0) != 0) return Fail("the feed's URL " + feed.url + " is not under --site " + site);
  const std::string rel = feed.url.substr(site.size());
  if (rel.empty() || rel.find("..") != std::string::npos || rel.find('?') != std::string::npos ||
      rel.substr(rel.rfind('/') + 1).find(version) == std::string::npos)
    return Fail("the feed's URL must name the version, e.g. " + site + "launcher/RealmPorter-" + version +
                ".exe: a launcher still downloading the previous release would get a mixture");

  const fs::path root(to);
  if (!PutFile(root / rel, exe)) return Fail("cannot write " + (root / rel).string());
  if (!PutFile(root / "launcher" / "latest.json", feedText) || !PutFile(root / "launcher" / "latest.json.sig", sigText))
    return Fail("cannot write the feed under " + (root / "launcher").string());

  // Back from the site, as a launcher reads it.
  const std::string feedUrl = site + "launcher/latest.json";
  std::string gotFeed, gotSig, gotExe, gotHash;
  std::string problem = FetchUrl(feedUrl, tls, &gotFeed);
  if (problem.empty()) problem = FetchUrl(feedUrl + ".sig", tls, &gotSig);
  LauncherFeed seen;
  if (problem.empty()) {
    const std::string sig = SignatureProblem(pub, gotFeed, gotSig);
    if (!sig.empty())
      problem = feedUrl + ".sig: " + sig;
    else if (!ParseLauncherFeed(gotFeed, &seen))
      problem = feedUrl + ": not a launcher feed";
    else if (CompareLauncherVersions(seen.version, feed.version) != 0 || seen.sha256 != feed.sha256)
      problem = feedUrl + " still serves " + FormatLauncherVersion(seen.version) + " (a cache in front of the site?)";
  }
  if (problem.empty()) problem = FetchUrl(seen.url, tls, &gotExe);
  if (problem.empty() && (!Sha256HexOfString(gotExe, &gotHash) || gotExe.size() != seen.size || gotHash != seen.sha256))
    problem =
        seen.url + ": " + std::to_string(gotExe.size()) + " bytes, sha256 " + gotHash + ", not what the feed names";
  if (!problem.empty()) return Fail("published, but the site does not serve it as a launcher reads it: " + problem);
  std::cout << "feed:      " << feedUrl << ": signature good (" << pub << "), version " << version << "\n"
            << "launcher:  " << seen.url << ": " << gotExe.size() << " bytes, sha256 " << gotHash << "\n"
            << "launchers of a lower version are offered " << version << " at their next start\n";
  return 0;
}
