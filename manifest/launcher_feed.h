#pragma once
// The launcher's update feed, <site>/launcher/latest.json, signed like a
// manifest: the version on offer, the exe's size and SHA-256, where to fetch
// it and a short UTF-8 text for the player. A flat object read by the
// shallow JSON rules of json_scan.h, so every value is plain: no quote,
// backslash or control character.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct LauncherVersion {
  std::uint16_t major = 0, minor = 0, patch = 0;
};

// "x.y.z": three decimal parts, no sign, no leading zero, each at most 65535
// (the parts of an executable's version resource).
bool ParseLauncherVersion(std::string_view text, LauncherVersion* out);
std::string FormatLauncherVersion(const LauncherVersion& v);
// <0, 0 or >0 as `a` is lower than, equal to or higher than `b`.
int CompareLauncherVersions(const LauncherVersion& a, const LauncherVersion& b);

inline constexpr std::uint64_t kLauncherFeedMaxExeBytes = 64ull << 20;
inline constexpr std::size_t kLauncherFeedMaxNotesBytes = 600;
inline constexpr std::size_t kLauncherFeedMaxBytes = 4096;

struct LauncherFeed {
  LauncherVersion version;
  std::uint64_t size = 0;  // 1 .. kLauncherFeedMaxExeBytes
  std::string sha256;      // 64 lowercase hex digits
  std::string url;         // http:// or https://, no blank
  std::string notes;       // may be empty; valid UTF-8, at most kLauncherFeedMaxNotesBytes
  // A staged rollout: the percentage of players offered the release, 0 to
  // 100 (the feed names none: 100). Each launcher draws its own number once
  // (install/self_update.h), so a player once in stays in as it grows.
  unsigned share = 100;
};

// The file version of an executable's version resource (VS_FIXEDFILEINFO
// after the "VS_VERSION_INFO" key), its fourth part ignored. False when the
// bytes hold none.
bool FindExeFileVersion(std::string_view exe, LauncherVersion* out);

// False for anything the launcher must not act on: a missing or malformed
// value, a document larger than kLauncherFeedMaxBytes.
bool ParseLauncherFeed(std::string_view text, LauncherFeed* out);
// The document the operator's tool writes; ParseLauncherFeed reads it back
// unchanged. False when a value could not be read back (see above).
bool FormatLauncherFeed(const LauncherFeed& feed, std::string* out);

// What a launcher's exe says of its build: the lines the build writes into
// it (cmake/endpoints.h.in, tools/operator-keys.py: "none" for no key), read
// back by the operator's tool before it offers the exe to the players. A
// prefix with nothing after it is the constant below, not a record.
inline constexpr char kEndpointsRecordPrefix[] = "RealmPorter endpoints: ";
inline constexpr char kOperatorKeysRecordPrefix[] = "RealmPorter operator keys: ";
struct ExeBuildFacts {
  bool endpointsFound = false;
  std::string site;
  std::string mirrors;  // the three bases, one blank between them
  bool keysFound = false;
  std::vector<std::string> keys;  // SHA-256 fingerprints, in the build's order
};
// False when a record is there twice with different texts (the reader
// could not tell which one the launcher uses).
bool ReadExeBuildFacts(std::string_view exe, ExeBuildFacts* out);
// What differs between the launcher the players run and the one on offer,
// in words ("site X -> Y", ...); empty when nothing does.
std::string DescribeBuildChange(const ExeBuildFacts& running, const ExeBuildFacts& offered);
