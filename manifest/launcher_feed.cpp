#include "manifest/launcher_feed.h"

#include "manifest/json_scan.h"

namespace {

bool ParsePart(std::string_view s, std::uint16_t* out) {
  if (s.empty() || s.size() > 5 || (s.size() > 1 && s[0] == '0')) return false;
  std::uint32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (v > 65535) return false;
  *out = static_cast<std::uint16_t>(v);
  return true;
}

bool IsValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c >> 5) == 0x6) {
      n = 1, cp = c & 0x1F;
    } else if ((c >> 4) == 0xE) {
      n = 2, cp = c & 0x0F;
    } else if ((c >> 3) == 0x1E) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= n) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode's end would turn
    // into different texts in different converters.
    static const std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

// What the shallow reader returns unchanged between two quotes.
bool IsPlainText(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') return false;
  return IsValidUtf8(s);
}

bool IsLowerHex64(std::string_view s) {
  if (s.size() != 64) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

bool IsFeedUrl(std::string_view s) {
  std::size_t host = s.rfind("https://", 0) == 0 ? 8 : s.rfind("http://", 0) == 0 ? 7 : 0;
  if (!host || s.size() <= host || s[host] == '/') return false;
  for (unsigned char c : s)
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == '\\') return false;
  return true;
}

// A quoted value read exactly as written: JsonFindString alone would take
// the next quoted text after a bare value, and stops inside an escape.
bool FindPlainString(std::string_view text, std::string_view key, std::string* out) {
  std::string raw, value;
  if (!JsonFindRaw(text, key, &raw) || !JsonFindString(text, key, &value)) return false;
  if (raw != "\"" + value + "\"" || !IsPlainText(value)) return false;
  *out = std::move(value);
  return true;
}

}  // namespace

bool ParseLauncherVersion(std::string_view text, LauncherVersion* out) {
  std::size_t a = text.find('.');
  if (a == std::string_view::npos) return false;
  std::size_t b = text.find('.', a + 1);
  if (b == std::string_view::npos) return false;
  LauncherVersion v;
  if (!ParsePart(text.substr(0, a), &v.major) || !ParsePart(text.substr(a + 1, b - a - 1), &v.minor) ||
      !ParsePart(text.substr(b + 1), &v.patch))
    return false;
  *out = v;
  return true;
}

std::string FormatLauncherVersion(const LauncherVersion& v) {
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

int CompareLauncherVersions(const LauncherVersion& a, const LauncherVersion& b) {
  if (a.major != b.major) return a.major < b.major ? -1 : 1;
  if (a.minor != b.minor) return a.minor < b.minor ? -1 : 1;
  if (a.patch != b.patch) return a.patch < b.patch ? -1 : 1;
  return 0;
}

bool FindExeFileVersion(std::string_view exe, LauncherVersion* out) {
  static const char kKey[] = "VS_VERSION_INFO";
  std::string key;
  for (const char* c = kKey; *c; ++c) key += {*c, '\0'};
  key += std::string(2, '\0');
  auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(exe[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(exe[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(exe[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(exe[at + 3])) << 24;
  };
  for (std::size_t at = exe.find(key); at != std::string_view::npos; at = exe.find(key, at + 1)) {
    // The fixed part follows the key, padded to the next 32-bit boundary of
    // the block; the key itself is at an even offset after a 6-byte header.
    for (std::size_t fixed = at + key.size(); fixed < at + key.size() + 4 && fixed + 16 <= exe.size(); ++fixed) {
      if (u32(fixed) != 0xFEEF04BDu) continue;
      std::uint32_t ms = u32(fixed + 8), ls = u32(fixed + 12);
      out->major = static_cast<std::uint16_t>(ms >> 16);
      out->minor = static_cast<std::uint16_t>(ms & 0xFFFF);
      out->patch = static_cast<std::uint16_t>(ls >> 16);
      return true;
    }
  }
  return false;
}

bool ParseLauncherFeed(std::string_view text, LauncherFeed* out) {
  if (text.size() > kLauncherFeedMaxBytes) return false;
  LauncherFeed f;
  std::string version, size;
  if (!FindPlainString(text, "version", &version) || !ParseLauncherVersion(version, &f.version)) return false;
  // The size as written, so that "+5", "05" or "-1" (which strtoull would
  // take) are refused rather than read as another number.
  if (!JsonFindRaw(text, "size", &size) || size.empty() || size.size() > 20 || size[0] == '0') return false;
  for (char c : size)
    if (c < '0' || c > '9') return false;
  if (!JsonFindUInt64(text, "size", &f.size) || f.size == 0 || f.size > kLauncherFeedMaxExeBytes) return false;
  if (!FindPlainString(text, "sha256", &f.sha256) || !IsLowerHex64(f.sha256)) return false;
  if (!FindPlainString(text, "url", &f.url) || !IsFeedUrl(f.url)) return false;
  // The share of players offered the release (a staged rollout) is optional:
  // without it, all of them. Present, it is 0 to 100 as written.
  std::string raw;
  if (JsonFindRaw(text, "share", &raw)) {
    if (raw.empty() || raw.size() > 3 || (raw.size() > 1 && raw[0] == '0')) return false;
    unsigned share = 0;
    for (char c : raw) {
      if (c < '0' || c > '9') return false;
      share = share * 10 + static_cast<unsigned>(c - '0');
    }
    if (share > 100) return false;
    f.share = share;
  }
  // The notes are optional; present, they must be plain.
  if (JsonFindRaw(text, "notes", &raw) &&
      (!FindPlainString(text, "notes", &f.notes) || f.notes.size() > kLauncherFeedMaxNotesBytes))
    return false;
  *out = std::move(f);
  return true;
}

bool FormatLauncherFeed(const LauncherFeed& feed, std::string* out) {
  std::string d = "{\n";
  d += "  \"version\": \"" + FormatLauncherVersion(feed.version) + "\",\n";
  d += "  \"size\": " + std::to_string(feed.size) + ",\n";
  d += "  \"sha256\": \"" + feed.sha256 + "\",\n";
  d += "  \"url\": \"" + feed.url + "\",\n";
  if (feed.share < 100) d += "  \"share\": " + std::to_string(feed.share) + ",\n";
  d += "  \"notes\": \"" + feed.notes + "\"\n";
  d += "}\n";
  LauncherFeed back;
  if (!ParseLauncherFeed(d, &back) || back.size != feed.size || back.sha256 != feed.sha256 || back.url != feed.url ||
      back.notes != feed.notes || back.share != feed.share || CompareLauncherVersions(back.version, feed.version) != 0)
    return false;
  *out = std::move(d);
  return true;
}

namespace {

// Every NUL-terminated text in `exe` that starts with `prefix`, without it;
// false when two of them differ.
bool FindRecord(std::string_view exe, std::string_view prefix, bool* found, std::string* out) {
  *found = false;
  for (std::size_t at = exe.find(prefix); at != std::string_view::npos; at = exe.find(prefix, at + 1)) {
    const std::size_t begin = at + prefix.size(), end = exe.find('\0', begin);
    if (end == std::string_view::npos || end - begin > 4096) continue;
    const std::string text(exe.substr(begin, end - begin));
    // The prefix itself, kept in the program as a constant, is no record.
    if (text.empty()) continue;
    if (*found && text != *out) return false;
    *found = true;
    *out = text;
  }
  return true;
}

std::string KeysText(const std::vector<std::string>& keys) {
  std::string t;
  for (const std::string& k : keys) t += (t.empty() ? "" : ", ") + k;
  return t.empty() ? "none" : t;
}

}  // namespace

bool ReadExeBuildFacts(std::string_view exe, ExeBuildFacts* out) {
  *out = ExeBuildFacts();
  std::string endpoints, keys;
  if (!FindRecord(exe, kEndpointsRecordPrefix, &out->endpointsFound, &endpoints) ||
      !FindRecord(exe, kOperatorKeysRecordPrefix, &out->keysFound, &keys))
    return false;
  if (out->endpointsFound) {
    const std::size_t m = endpoints.find(" mirrors=");
    if (endpoints.rfind("site=", 0) != 0 || m == std::string::npos) {
      out->endpointsFound = false;
    } else {
      out->site = endpoints.substr(5, m - 5);
      out->mirrors = endpoints.substr(m + 9);
    }
  }
  if (keys == "none") keys.clear();
  for (std::size_t start = 0; out->keysFound && start < keys.size();) {
    std::size_t semi = keys.find(';', start);
    if (semi == std::string::npos) semi = keys.size();
    if (semi > start) out->keys.push_back(keys.substr(start, semi - start));
    start = semi + 1;
  }
  return true;
}

std::string DescribeBuildChange(const ExeBuildFacts& running, const ExeBuildFacts& offered) {
  std::string d;
  auto add = [&](const std::string& what, const std::string& from, const std::string& to) {
    if (from != to) d += (d.empty() ? "" : "; ") + what + " " + from + " -> " + to;
  };
  add("site", running.site, offered.site);
  add("mirrors", running.mirrors, offered.mirrors);
  add("operator keys", KeysText(running.keys), KeysText(offered.keys));
  return d;
}
