#include "install/self_update.h"

namespace {

bool EndsWithNoCase(std::wstring_view s, std::wstring_view tail) {
  if (s.size() < tail.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i) {
    wchar_t a = s[s.size() - tail.size() + i], b = tail[i];
    if (a >= L'A' && a <= L'Z') a = static_cast<wchar_t>(a - L'A' + L'a');
    if (a != b) return false;
  }
  return true;
}

bool IsLowerHex(std::string_view s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

bool RecordNamesFeed(const PendingNew& p, const LauncherFeed& feed) {
  return p.recordRead && p.record.size == feed.size && p.record.sha256 == feed.sha256;
}

}  // namespace

SelfUpdatePaths PathsForRunningExe(std::wstring_view module) {
  SelfUpdatePaths p;
  p.runningAsOld = EndsWithNoCase(module, kOldExeSuffix);
  const bool asNew = EndsWithNoCase(module, kNewExeSuffix);
  p.exe = std::wstring(p.runningAsOld || asNew ? module.substr(0, module.size() - 4) : module);
  p.newExe = p.exe + kNewExeSuffix;
  p.oldExe = p.exe + kOldExeSuffix;
  return p;
}

StartupSwapStep DecideStartupSwap(bool exeExists, bool oldExists, bool runningAsOld) {
  if (!oldExists) return StartupSwapStep::kNothing;
  if (!exeExists) return StartupSwapStep::kRestoreOld;
  // The new exe is in place; a process started from the .old cannot delete
  // its own image, the next start from the exe does.
  return runningAsOld ? StartupSwapStep::kNothing : StartupSwapStep::kDeleteOld;
}

FeedVerdict JudgeFeed(const FeedFacts& facts, LauncherFeed* feed) {
  if (!facts.fetched) return FeedVerdict::kNoFeed;
  // Nothing of the bytes is read before the signature holds.
  if (!facts.signedByKey) return FeedVerdict::kUnsigned;
  if (!ParseLauncherFeed(facts.feedText, feed)) return FeedVerdict::kUnreadable;
  LauncherVersion running;
  if (!ParseLauncherVersion(facts.runningVersion, &running)) return FeedVerdict::kBadRunning;
  if (CompareLauncherVersions(feed->version, running) <= 0) return FeedVerdict::kNotNewer;
  LauncherVersion refused;
  if (ParseLauncherVersion(facts.refusedVersion, &refused) && CompareLauncherVersions(feed->version, refused) <= 0)
    return FeedVerdict::kRefused;
  if (facts.knownBad.size == feed->size && facts.knownBad.sha256 == feed->sha256) return FeedVerdict::kKnownBad;
  if (static_cast<unsigned>(facts.rolloutNumber) >= feed->share) return FeedVerdict::kNotYetHere;
  if (facts.servedSize != 0 && facts.servedSize != feed->size) return FeedVerdict::kSizeDiffers;
  return facts.folderWritable ? FeedVerdict::kOffer : FeedVerdict::kNoFolder;
}

std::string FeedVerdictLogLine(FeedVerdict verdict, std::string_view url, const LauncherFeed& feed,
                               std::string_view runningVersion) {
  const std::string u(url), running(runningVersion);
  switch (verdict) {
    case FeedVerdict::kOffer:
      return "LauncherUpdate: offering " + FormatLauncherVersion(feed.version) + " (running " + running + ") from " + u;
    case FeedVerdict::kNoFeed: return "LauncherUpdate: no feed at " + u;
    case FeedVerdict::kUnsigned: return "LauncherUpdate: feed signature invalid: " + u;
    case FeedVerdict::kUnreadable: return "LauncherUpdate: feed unreadable: " + u;
    case FeedVerdict::kNotNewer:
      return "LauncherUpdate: feed offers " + FormatLauncherVersion(feed.version) + ", running " + running +
             ": nothing to do";
    case FeedVerdict::kBadRunning: return "LauncherUpdate: running version unreadable: " + running;
    case FeedVerdict::kNoFolder:
      return "LauncherUpdate: feed offers " + FormatLauncherVersion(feed.version) +
             ", but the launcher's folder is not writable";
    case FeedVerdict::kRefused:
      return "LauncherUpdate: feed offers " + FormatLauncherVersion(feed.version) +
             ", which failed its trial here: waiting for a higher version";
    case FeedVerdict::kKnownBad:
      return "LauncherUpdate: feed offers " + FormatLauncherVersion(feed.version) +
             ", whose download did not match the feed before: waiting for another feed";
    case FeedVerdict::kNotYetHere:
      return "LauncherUpdate: feed offers " + FormatLauncherVersion(feed.version) + " to " +
             std::to_string(feed.share) + "% of players, not yet to this one";
    case FeedVerdict::kSizeDiffers:
      return "LauncherUpdate: feed offers " + FormatLauncherVersion(feed.version) + " of " + std::to_string(feed.size) +
             " bytes, but the site serves another size: " + feed.url;
  }
  return "LauncherUpdate: " + u;
}

bool DownloadMatchesFeed(std::uint64_t size, std::string_view sha256Hex, const LauncherFeed& feed) {
  if (size != feed.size || sha256Hex.size() != feed.sha256.size()) return false;
  for (size_t i = 0; i < sha256Hex.size(); ++i) {
    char c = sha256Hex[i];
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (c != feed.sha256[i]) return false;
  }
  return true;
}

std::string LauncherFeedUrl(std::string_view siteBase) {
  std::string url(siteBase);
  if (url.empty() || url.back() != '/') url += '/';
  return url + "launcher/latest.json";
}

std::string PartInfoText(const LauncherFeed& feed) { return std::to_string(feed.size) + " " + feed.sha256 + "\n"; }

bool ParsePartInfo(std::string_view text, PartInfo* out) {
  if (text.empty() || text.back() != '\n') return false;
  text.remove_suffix(1);
  const size_t blank = text.find(' ');
  if (blank == std::string_view::npos || blank == 0 || blank > 20) return false;
  const std::string_view digits = text.substr(0, blank), hex = text.substr(blank + 1);
  if (digits.size() > 1 && digits[0] == '0') return false;
  std::uint64_t size = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    size = size * 10 + static_cast<std::uint64_t>(c - '0');
    if (size > kLauncherFeedMaxExeBytes) return false;
  }
  if (size == 0 || hex.size() != 64 || !IsLowerHex(hex)) return false;
  out->size = size;
  out->sha256 = std::string(hex);
  return true;
}

PendingNewUse DecidePendingNew(const PendingNew& pending, const LauncherFeed& feed) {
  if (!pending.exists || !RecordNamesFeed(pending, feed)) return PendingNewUse::kStartOver;
  if (pending.size < feed.size) return PendingNewUse::kResume;
  return pending.size == feed.size ? PendingNewUse::kCheckWhole : PendingNewUse::kStartOver;
}

bool KeepPendingNew(FeedVerdict verdict, const LauncherFeed& feed, const PendingNew& pending) {
  if (!pending.exists || !pending.recordRead) return false;
  switch (verdict) {
    case FeedVerdict::kOffer: return DecidePendingNew(pending, feed) != PendingNewUse::kStartOver;
    case FeedVerdict::kNoFeed:
    case FeedVerdict::kUnsigned: return pending.size < pending.record.size;
    default: return false;
  }
}

std::string TrialText(const LauncherTrial& trial) { return trial.version + " " + std::to_string(trial.starts); }

bool ParseTrial(std::string_view text, LauncherTrial* out) {
  const size_t blank = text.find(' ');
  LauncherVersion v;
  if (blank == std::string_view::npos || !ParseLauncherVersion(text.substr(0, blank), &v)) return false;
  const std::string_view n = text.substr(blank + 1);
  if (n.size() != 1 || n[0] < '0' || n[0] > '9') return false;
  out->version = std::string(text.substr(0, blank));
  out->starts = n[0] - '0';
  return true;
}

TrialStep DecideTrial(const LauncherTrial& recorded, std::string_view running, LauncherTrial* next) {
  next->version = std::string(running);
  if (recorded.version != running) {
    next->starts = 1;
    return TrialStep::kCount;
  }
  if (recorded.starts >= kTrialStarts) return TrialStep::kRollBack;
  next->starts = recorded.starts + 1;
  return TrialStep::kCount;
}

bool ParseRolloutNumber(std::string_view text, int* out) {
  if (text.empty() || text.size() > 2 || (text.size() == 2 && text[0] == '0')) return false;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *out = n;
  return true;
}
