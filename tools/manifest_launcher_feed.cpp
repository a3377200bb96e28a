// realmporter-manifest launcher-feed: the update feed that offers a launcher
// release to the players' launchers (manifest/launcher_feed.h).
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "hash/sha256.h"
#include "manifest/launcher_feed.h"
#include "tools/manifest_launcher.h"

bool ReadWhole(const std::string& path, std::string* out);  // tools/realmporter-manifest.cpp

namespace {

const char kFeedUsage[] =
    "usage: realmporter-manifest launcher-feed --version X.Y.Z --url URL [--notes TEXT]\n"
    "         (--previous EXE | --live SITE_URL [--cacert FILE | --insecure] | --first-release)\n"
    "         [--change-endpoints-or-key] [--share PERCENT] --out FILE EXE\n"
    "\n"
    "Writes the launcher's update feed for EXE: its version, size, SHA-256, the URL\n"
    "it is downloaded from and TEXT, shown to the player in the offer (UTF-8, one\n"
    "line, no double quote or backslash, at most 600 bytes). X.Y.Z must be the\n"
    "version built into EXE (REALMPORTER_VERSION): a feed naming another would\n"
    "offer the same update again at every start. Publish FILE as\n"
    "<site>/launcher/latest.json, sign it with\n"
    "  realmporter-manifest sign --key OPERATOR.key FILE\n"
    "and publish FILE.sig beside it as latest.json.sig, with EXE at URL (or let\n"
    "launcher-publish do it). Only launchers built with the operator's key take\n"
    "the feed, so an EXE built without one is refused: whoever took it could\n"
    "never be updated again.\n"
    "\n"
    "A launcher that takes EXE asks EXE's site and mirrors for everything from\n"
    "then on and takes only what EXE's keys signed. So EXE is compared with the\n"
    "launcher the players run now: --previous EXE names that release's exe,\n"
    "--live SITE_URL reads it through the feed published at SITE_URL, and\n"
    "--first-release says no launcher of yours reads a feed yet. A site, mirrors\n"
    "or keys that differ are refused unless --change-endpoints-or-key says the\n"
    "change is meant.\n"
    "\n"
    "--share PERCENT (0 to 100, default 100) offers the release to that share of\n"
    "the players only: each launcher draws a number of its own once, so a player\n"
    "offered it at 10 is offered it at 50 too. Publish the feed again with a\n"
    "higher share to widen the rollout; the share is signed with the rest.\n"
    "A launcher built before staged rollouts ignores the share and is offered the\n"
    "release at once.\n";

int Fail(const std::string& message) {
  std::cerr << "realmporter-manifest: " << message << "\n";
  return 1;
}

// The launcher the players run now, as `--live` finds it: the exe the
// published feed names, checked against the feed.
int RunningFromLive(std::string site, const FetchTls& tls, ExeBuildFacts* running) {
  if (site.empty() || site.back() != '/') site += '/';
  std::string text, exe, hash;
  LauncherFeed live;
  std::string problem = FetchUrl(site + "launcher/latest.json", tls, &text);
  if (problem.empty() && !ParseLauncherFeed(text, &live)) problem = site + "launcher/latest.json: not a launcher feed";
  if (problem.empty()) problem = FetchUrl(live.url, tls, &exe);
  if (problem.empty() && (!Sha256HexOfString(exe, &hash) || hash != live.sha256 || exe.size() != live.size))
    problem = live.url + " is not the exe the live feed names";
  if (!problem.empty())
    return Fail("--live: " + problem + "\n(no feed published yet: --first-release; or name the exe: --previous EXE)");
  if (!ReadExeBuildFacts(exe, running)) return Fail("--live: " + live.url + " holds two different build records");
  return 0;
}

}  // namespace

int LauncherFeedCommand(int argc, char** argv) {
  std::string version, url, notes, out, exe, previous, live, share;
  bool haveNotes = false, firstRelease = false, changeMeant = false;
  FetchTls tls;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") return std::cout << kFeedUsage, 0;
    auto value = [&](std::string* v) {
      if (i + 1 >= argc) return false;
      *v = argv[++i];
      return true;
    };
    bool ok = true;
    if (a == "--version")
      ok = value(&version);
    else if (a == "--url")
      ok = value(&url);
    else if (a == "--notes")
      ok = haveNotes = value(&notes);
    else if (a == "--out")
      ok = value(&out);
    else if (a == "--previous")
      ok = value(&previous);
    else if (a == "--live")
      ok = value(&live);
    else if (a == "--cacert")
      ok = value(&tls.cacert);
    else if (a == "--insecure")
      tls.insecure = true;
    else if (a == "--share")
      ok = value(&share);
    else if (a == "--first-release")
      firstRelease = true;
    else if (a == "--change-endpoints-or-key")
      changeMeant = true;
    else if (!a.empty() && a[0] == '-')
      return Fail("unknown option " + a + "\n" + kFeedUsage);
    else if (exe.empty())
      exe = a;
    else
      return Fail("more than one EXE given\n" + std::string(kFeedUsage));
    if (!ok) return Fail("option " + a + " needs a value\n" + kFeedUsage);
  }
  if (version.empty() || url.empty() || out.empty() || exe.empty())
    return Fail(std::string("launcher-feed needs --version, --url, --out and EXE\n") + kFeedUsage);

  LauncherFeed feed;
  feed.url = url;
  feed.notes = notes;
  if (!ParseLauncherVersion(version, &feed.version))
    return Fail("--version must be x.y.z (decimal, no leading zeros, each part at most 65535): " + version);
  if (!share.empty()) {
    const bool digits = share.size() <= 3 && share.find_first_not_of("0123456789") == std::string::npos &&
                        (share.size() == 1 || share[0] != '0');
    if (!digits || std::stoul(share) > 100) return Fail("--share must be a whole percentage, 0 to 100: " + share);
    feed.share = static_cast<unsigned>(std::stoul(share));
  }
  std::string bytes;
  if (!ReadWhole(exe, &bytes)) return Fail("cannot read " + exe);
  if (bytes.size() < 2 || bytes.compare(0, 2, "MZ") != 0) return Fail(exe + " is not a Windows program");
  LauncherVersion built;
  if (!FindExeFileVersion(bytes, &built)) return Fail(exe + " has no version resource");
  if (CompareLauncherVersions(built, feed.version) != 0)
    return Fail(exe + " is version " + FormatLauncherVersion(built) + ", not " + version +
                ": the launchers would offer it again at every start");
  if ((previous.empty() ? 0 : 1) + (live.empty() ? 0 : 1) + (firstRelease ? 1 : 0) != 1)
    return Fail(
        "say which launcher the players run now, once: --previous EXE (that release's exe), --live SITE_URL (the "
        "one your published feed names) or --first-release\n" +
        std::string(kFeedUsage));
  ExeBuildFacts offered, running;
  if (!ReadExeBuildFacts(bytes, &offered)) return Fail(exe + " holds two different build records");
  if (offered.keys.empty())
    return Fail(exe +
                " was built without an operator key (REALMPORTER_OPERATOR_KEY): it reads no feed and checks no "
                "signature, so the players who take it could never be updated again");
  if (!offered.endpointsFound) return Fail(exe + " names no endpoints: not a release of this launcher");
  if (!previous.empty()) {
    std::string prev;
    if (!ReadWhole(previous, &prev)) return Fail("cannot read " + previous);
    if (!ReadExeBuildFacts(prev, &running)) return Fail(previous + " holds two different build records");
  } else if (!live.empty()) {
    if (int rc = RunningFromLive(live, tls, &running)) return rc;
  }
  if (!firstRelease) {
    const std::string change = !running.endpointsFound
                                   ? "the launcher the players run now names no endpoints (built before they were "
                                     "recorded); check its site, mirrors and key by hand"
                                   : DescribeBuildChange(running, offered);
    if (!change.empty() && !changeMeant)
      return Fail(exe + " differs from the launcher the players run now: " + change +
                  ".\nA launcher that takes it asks those addresses and keys for everything, for good. If that is "
                  "meant, say so with --change-endpoints-or-key.");
    if (!change.empty()) std::cout << "changing, as told: " << change << "\n";
  }
  feed.size = bytes.size();
  if (feed.size > kLauncherFeedMaxExeBytes) return Fail(exe + " is larger than a launcher takes (64 MiB)");
  if (!Sha256HexOfString(bytes, &feed.sha256)) return Fail("cannot hash " + exe);
  std::string doc;
  if (!FormatLauncherFeed(feed, &doc)) {
    if (haveNotes && notes.size() > kLauncherFeedMaxNotesBytes) return Fail("--notes is longer than 600 bytes");
    return Fail(
        "the launcher could not read --url or --notes back: the URL must be http(s):// without blanks, "
        "quotes or backslashes; the notes one line of valid UTF-8 without quotes or backslashes");
  }
  std::ofstream f(out, std::ios::binary | std::ios::trunc);
  f << doc;
  if (!f.flush()) return Fail("cannot write " + out);
  std::cout << out << ": " << FormatLauncherVersion(feed.version) << ", " << feed.size << " bytes, sha256 "
            << feed.sha256 << ", offered to " << feed.share << "% of players\n";
  return 0;
}
