#pragma once
// The launcher replacing its own executable: what a start finds beside the
// exe and what it does about it, whether a feed is worth offering, and
// whether a downloaded exe is the one the feed named. Pure; the file steps
// are in self_update_win.cpp.
//
// The swap, all in the exe's folder:
//   1. the new exe downloaded and checked as RealmPorter.exe.new;
//   2. RealmPorter.exe renamed to RealmPorter.exe.old (a running exe may be
//      renamed, not replaced);
//   3. RealmPorter.exe.new renamed to RealmPorter.exe (undoing step 2 when
//      it fails);
//   4. the new exe started, the old process ends;
//   5. the new version is on trial: the .old stays until it has shown its
//      window and read a signed feed. Each start of a version on trial is
//      counted (registry value LauncherTrial); one that begins with
//      kTrialStarts starts already counted (it crashed or never got that far,
//      twice in a row) puts the .old back, starts it and is not offered again
//      (LauncherRefused) until a feed names a higher version.
// A stop between 2 and 3 leaves no RealmPorter.exe: a start from the .old
// (the only launcher left) puts it back, and so does any later start.
//
// Step 1 survives a stop too: beside the .new lies a record of the exe it is
// becoming (the feed's size and SHA-256), written before its first byte. The
// next offer of that same exe continues the .new with a ranged request; any
// other offer, or a .new without its record, starts it over.
#include <cstdint>
#include <string>
#include <string_view>

#include "manifest/launcher_feed.h"

inline constexpr wchar_t kNewExeSuffix[] = L".new";
inline constexpr wchar_t kOldExeSuffix[] = L".old";
// Appended to the .new's path: the record of what the .new is.
inline constexpr wchar_t kPartInfoSuffix[] = L".part-info";
// A version that failed its trial, renamed aside while it still runs.
inline constexpr wchar_t kRefusedExeSuffix[] = L".refused";

// An exe by its size and SHA-256: the record beside a .new, and an exe that
// did not match its feed.
struct PartInfo {
  std::uint64_t size = 0;
  std::string sha256;  // 64 lowercase hex digits
};

struct SelfUpdatePaths {
  std::wstring exe;  // where the launcher belongs: <folder>\RealmPorter.exe
  std::wstring newExe, oldExe;
  bool runningAsOld = false;  // this process was started from the .old
};

// From the running module's path: a path ending in ".old" or ".new"
// (any case) belongs to the exe without that ending.
SelfUpdatePaths PathsForRunningExe(std::wstring_view module);

enum class StartupSwapStep {
  kNothing,
  kRestoreOld,  // no exe but an .old: put the .old back
  kDeleteOld,   // the exe in place and an .old beside it: the new exe's trial
};
// What a start does with what lies beside the exe. A `.new` is left alone
// here: the update check resumes or removes it.
StartupSwapStep DecideStartupSwap(bool exeExists, bool oldExists, bool runningAsOld);

// A version on trial: "<version> <starts>" in the registry.
inline constexpr int kTrialStarts = 2;
struct LauncherTrial {
  std::string version;
  int starts = 0;
};
std::string TrialText(const LauncherTrial& trial);
bool ParseTrial(std::string_view text, LauncherTrial* out);
enum class TrialStep {
  kCount,     // a start of the version on trial, counted in `next`
  kRollBack,  // kTrialStarts starts never got to the window and a feed
};
// A start of `running` with an .old beside it, given the trial on record.
TrialStep DecideTrial(const LauncherTrial& recorded, std::string_view running, LauncherTrial* next);

// The launcher's own number for staged rollouts, 0 to 99, drawn once and
// kept (LauncherRolloutNumber): a release offered to `share` percent of the
// players reaches the launchers whose number is below it.
bool ParseRolloutNumber(std::string_view text, int* out);

enum class FeedVerdict {
  kOffer,
  kNoFeed,       // the feed could not be fetched
  kUnsigned,     // no signature, or one that is not by a built-in key over these bytes
  kUnreadable,   // signed, but not a feed this launcher reads
  kNotNewer,     // signed, for this version or an older one
  kBadRunning,   // this launcher's own version cannot be read
  kNoFolder,     // worth offering, but the exe's folder takes no file
  kRefused,      // a version this launcher put back after its trial failed
  kKnownBad,     // an exe that did not match the feed here before
  kNotYetHere,   // a staged release whose share does not reach this launcher
  kSizeDiffers,  // the site serves the exe with another size than the feed's
};
struct FeedFacts {
  bool fetched = false;      // the feed arrived
  bool signedByKey = false;  // its signature arrived and verifies
  std::string_view feedText;
  std::string_view runningVersion;  // "x.y.z"
  // Asked only of a feed worth offering: an offer the player could only
  // answer with a failure is not made.
  bool folderWritable = true;
  // What this launcher keeps: the last version it refused after a trial
  // (empty: none), the size and SHA-256 of an exe that did not match its
  // feed (size 0: none) and its rollout number.
  std::string_view refusedVersion;
  PartInfo knownBad;
  int rolloutNumber = 0;
  // The exe's length as the site announces it (0: not known).
  std::uint64_t servedSize = 0;
};
FeedVerdict JudgeFeed(const FeedFacts& facts, LauncherFeed* feed);

// The one log line of a verdict (for kOffer, the offer's), naming the
// feed's URL and, once the feed is read, the versions.
std::string FeedVerdictLogLine(FeedVerdict verdict, std::string_view url, const LauncherFeed& feed,
                               std::string_view runningVersion);

// Whether a downloaded exe is the one the feed names.
bool DownloadMatchesFeed(std::uint64_t size, std::string_view sha256Hex, const LauncherFeed& feed);

// The feed's address beside the site's server list.
std::string LauncherFeedUrl(std::string_view siteBase);

// The record beside a .new: "<size> <sha256>\n", the feed's values.
std::string PartInfoText(const LauncherFeed& feed);
// False for anything PartInfoText does not write.
bool ParsePartInfo(std::string_view text, PartInfo* out);

// What lies at the .new when an update is checked or starts.
struct PendingNew {
  bool exists = false;
  std::uint64_t size = 0;
  bool recordRead = false;  // its record was there and readable
  PartInfo record;
};

enum class PendingNewUse {
  kStartOver,   // deleted with its record; the download starts afresh
  kResume,      // the bytes there are the offered exe's first: continue after them
  kCheckWhole,  // as long as the offered exe: hashed, swapped in or started over
};
// How the download of `feed`'s exe uses the .new it finds.
PendingNewUse DecidePendingNew(const PendingNew& pending, const LauncherFeed& feed);

// Whether the update check keeps the .new (and its record) it finds, given
// its verdict and the feed it read. A .new is kept while it may still be
// continued: for an offer of the exe its record names, and when the check
// learned nothing it can trust (no feed, no good signature: the player may be
// offline) for a partial shorter than its record says. Anything else is
// stale and goes: the feed names another exe or none newer, the record is
// missing, or the .new is whole but was never swapped in.
bool KeepPendingNew(FeedVerdict verdict, const LauncherFeed& feed, const PendingNew& pending);
