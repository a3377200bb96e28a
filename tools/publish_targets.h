#pragma once
// Where publish writes a mirror's files: a folder (local or mounted) or an
// rsync destination (host:path, through the rsync program over SSH; the
// remote shell is rsync's own choice, RSYNC_RSH included). Each release
// lives in releases/<product>/<name>/ under the target, beside the live
// <product>.json and <product>.json.sig at its top.
#include <cstdint>
#include <string>
#include <vector>

struct Target {
  std::string url;   // the mirror's base URL, ending in '/'
  std::string dest;  // folder or rsync destination
  bool rsync = false;
};

// host:path, user@host:path, host::module/path and rsync://...; a path with
// a '/' before its first ':' is a folder.
bool IsRsyncDestination(const std::string& dest);
// How the target is written, for the operator.
std::string DescribeTarget(const Target& t);

// The release folders under releases/<product>/ (none when that folder does
// not exist yet); false when the target cannot be read.
bool ListReleases(const Target& t, const std::string& product, std::vector<std::string>* names, std::string* error);

struct UploadCount {
  int linked = 0, copied = 0;
  std::uint64_t copiedBytes = 0;
};

// The staged release (paths relative to `stage`) into releases/<product>/<name>/.
// `same` are unchanged since the release `previous` (empty: none to link
// from): hard links to that release's copies where the target allows, copies
// otherwise. `rest` are copied.
bool UploadRelease(const Target& t, const std::string& stage, const std::string& product, const std::string& name,
                   const std::string& previous, const std::vector<std::string>& same,
                   const std::vector<std::string>& rest, UploadCount* count, std::string* error);

// <product>.json.sig and <product>.json from `dir` to the target's top, each
// written under another name and renamed into place.
bool SwitchManifest(const Target& t, const std::string& dir, const std::string& product, std::string* error);

bool RemoveRelease(const Target& t, const std::string& product, const std::string& name, std::string* error);
