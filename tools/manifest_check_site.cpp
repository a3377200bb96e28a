// realmporter-manifest check-site: the operator's site as a keyed launcher
// reads it. An unsigned edit of the server list, a background that is no
// image, or a feed whose exe differs each leave players silently behind.
#include <curl/curl.h>

#include <iostream>
#include <string>
#include <vector>

#include "config/serverlist.h"
#include "config/serverlist_sources.h"
#include "hash/sha256.h"
#include "install/self_update.h"
#include "manifest/launcher_feed.h"
#include "manifest/signature.h"
#include "tools/launcher_endpoints.h"
#include "tools/manifest_sign.h"
#include "tools/mirror_http.h"

namespace {

const char kSiteUsage[] =
    "usage: realmporter-manifest check-site (--launcher RealmPorter.exe | --site URL)\n"
    "         [--pub NAME.pub] [--cacert FILE | --insecure]\n"
    "\n"
    "Fetches what a launcher fetches from the site (the one built into the exe,\n"
    "or URL): serverlist.txt (HTTP 200, at most 32768 bytes, at least one realm\n"
    "as the launcher reads it), images/wowbg.jpg (a JPEG, PNG or WebP image) and\n"
    "the update feed launcher/latest.json with the exe it names (its size and\n"
    "SHA-256 must be the feed's). --pub NAME.pub also checks serverlist.txt.sig\n"
    "and latest.json.sig as a keyed launcher does: it keeps its last good server\n"
    "list, and ignores the feed, when a signature is missing or wrong. Without\n"
    "--pub signatures are not checked, and the output says so. Exits 0 only when\n"
    "there is no problem.\n";

bool IsImage(const std::string& b) {
  auto at = [&](size_t i) { return i < b.size() ? static_cast<unsigned char>(b[i]) : 0u; };
  return (at(0) == 0xFF && at(1) == 0xD8 && at(2) == 0xFF) || b.rfind("\x89PNG", 0) == 0 ||
         (b.rfind("RIFF", 0) == 0 && b.compare(8, 4, "WEBP") == 0);
}

}  // namespace

int CheckSite(int argc, char** argv) {
  std::string exe, site, pub;
  HttpOptions http;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") return std::cout << kSiteUsage, 0;
    if (a == "--launcher" && i + 1 < argc)
      exe = argv[++i];
    else if (a == "--site" && i + 1 < argc)
      site = argv[++i];
    else if (a == "--pub" && i + 1 < argc)
      pub = argv[++i];
    else if (a == "--cacert" && i + 1 < argc)
      http.cacert = argv[++i];
    else if (a == "--insecure")
      http.insecure = true;
    else
      return std::cerr << "realmporter-manifest: check-site: unexpected " << a << "\n" << kSiteUsage, 2;
  }
  if (exe.empty() == site.empty()) return std::cerr << kSiteUsage, 2;
  if (!exe.empty()) {
    std::vector<std::string> mirrors;
    std::string error;
    if (!EndpointsOfLauncher(exe, &mirrors, &site, &error))
      return std::cerr << "realmporter-manifest: " << error << "\n", 1;
    if (site.empty()) return std::cerr << "realmporter-manifest: " << exe << " holds no site; give --site URL\n", 1;
  }
  if (site.back() != '/') site += '/';
  if (!pub.empty() && !IsPublicKeyFile(pub))
    return std::cerr << "realmporter-manifest: " << pub << " is not a readable P-256 public key\n", 1;
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;
  CURL* curl = curl_easy_init();
  if (!curl) return 1;
  int problems = 0;
  auto report = [&](const std::string& what, const std::string& problem) {
    std::cout << site << what << ": " << problem << "\n";
    ++problems;
  };
  auto fetch = [&](const std::string& what, Answer* a) {
    *a = Request(curl, http, site + what, "", Body::Keep);
    if (!a->error.empty()) return report(what, "no answer: " + a->error), false;
    if (a->status != 200) return report(what, "HTTP " + std::to_string(a->status)), false;
    return true;
  };
  auto signature = [&](const std::string& what, const std::string& bytes) {
    if (pub.empty()) return;
    Answer sig;
    if (!fetch(what + kSignatureSuffix, &sig)) return;
    if (std::string p = SignatureProblem(pub, bytes, sig.body); !p.empty()) report(what + kSignatureSuffix, p);
  };

  Answer list;
  if (fetch("serverlist.txt", &list)) {
    if (list.body.size() > kServerListFetchLimit)
      report("serverlist.txt", std::to_string(list.body.size()) + " bytes; the launcher reads at most 32768");
    else if (ParseServerList(list.body) == 0)
      report("serverlist.txt", "no realm the launcher can read; it keeps its last good list");
    else
      std::cout << site << "serverlist.txt: " << ServerCount() << " realm(s)\n";
    signature("serverlist.txt", list.body);
  }
  Answer image;
  if (fetch("images/wowbg.jpg", &image) && !IsImage(image.body))
    report("images/wowbg.jpg", "not a JPEG, PNG or WebP image");

  const std::string feedPath = LauncherFeedUrl("").substr(1);
  Answer feedAnswer = Request(curl, http, site + feedPath, "", Body::Keep);
  LauncherFeed feed;
  if (feedAnswer.error.empty() && feedAnswer.status == 404) {
    std::cout << site << feedPath << ": none (launchers stay as they are)\n";
  } else if (fetch(feedPath, &feedAnswer)) {
    if (!ParseLauncherFeed(feedAnswer.body, &feed)) {
      report(feedPath, "not a feed the launcher reads");
    } else {
      signature(feedPath, feedAnswer.body);
      Answer got = Request(curl, http, feed.url, "", Body::Hash);
      if (!got.error.empty() || got.status != 200)
        report(feedPath, "its exe " + feed.url + ": " +
                             (got.error.empty() ? "HTTP " + std::to_string(got.status) : "no answer: " + got.error));
      else if (got.bytes != feed.size || !DigestEquals(got.sha256, feed.sha256))
        report(feedPath, "its exe " + feed.url + " is " + std::to_string(got.bytes) + " bytes, SHA-256 " + got.sha256 +
                             "; the feed says " + std::to_string(feed.size) + ", " + feed.sha256);
      else
        std::cout << site << feedPath << ": " << FormatLauncherVersion(feed.version) << ", exe as the feed says\n";
    }
  }
  curl_easy_cleanup(curl);
  curl_global_cleanup();
  std::cout << site << ": " << (problems ? std::to_string(problems) + " problem(s)" : std::string("ok")) << "\n";
  if (pub.empty()) std::cout << "signatures not checked: no --pub given (keyed launchers check them)\n";
  return problems ? 1 : 0;
}
