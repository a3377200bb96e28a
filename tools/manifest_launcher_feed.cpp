// realmporter-manifest launcher-feed: the update feed that offers a launcher
// release to the players' launchers (manifest/launcher_feed.h).
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "hash/sha256.h"
#include "manifest/launcher_feed.h"

bool ReadWhole(const std::string& path, std::string* out);  // tools/realmporter-manifest.cpp

namespace {

const char kFeedUsage[] =
    "usage: realmporter-manifest launcher-feed --version X.Y.Z --url URL [--notes TEXT]\n"
    "         --out FILE EXE\n"
    "\n"
    "Writes the launcher's update feed for EXE: its version, size, SHA-256, the URL\n"
    "it is downloaded from and TEXT, shown to the player in the offer (UTF-8, one\n"
    "line, no double quote or backslash, at most 600 bytes). X.Y.Z must be the\n"
    "version built into EXE (REALMPORTER_VERSION): a feed naming another would\n"
    "offer the same update again at every start. Publish FILE as\n"
    "<site>/launcher/latest.json, sign it with\n"
    "  realmporter-manifest sign --key OPERATOR.key FILE\n"
    "and publish FILE.sig beside it as latest.json.sig, with EXE at URL. Only\n"
    "launchers built with the operator's key take the feed.\n";

int Fail(const std::string& message) {
  std::cerr << "realmporter-manifest: " << message << "\n";
  return 1;
}

}  // namespace

int LauncherFeedCommand(int argc, char** argv) {
  std::string version, url, notes, out, exe;
  bool haveNotes = false;
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
  std::string bytes;
  if (!ReadWhole(exe, &bytes)) return Fail("cannot read " + exe);
  if (bytes.size() < 2 || bytes.compare(0, 2, "MZ") != 0) return Fail(exe + " is not a Windows program");
  LauncherVersion built;
  if (!FindExeFileVersion(bytes, &built)) return Fail(exe + " has no version resource");
  if (CompareLauncherVersions(built, feed.version) != 0)
    return Fail(exe + " is version " + FormatLauncherVersion(built) + ", not " + version +
                ": the launchers would offer it again at every start");
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
            << feed.sha256 << "\n";
  return 0;
}
