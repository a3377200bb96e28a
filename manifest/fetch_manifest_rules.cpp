#include "manifest/fetch_manifest_rules.h"

namespace {

// Reads exactly `digits` decimal digits at `*pos`.
bool Number(std::string_view s, size_t* pos, size_t digits, int* out) {
  if (*pos + digits > s.size()) return false;
  int v = 0;
  for (size_t i = 0; i < digits; ++i) {
    const char c = s[*pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *pos += digits;
  *out = v;
  return true;
}

bool Expect(std::string_view s, size_t* pos, char c) {
  if (*pos >= s.size() || s[*pos] != c) return false;
  ++*pos;
  return true;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to the civil date, proleptic Gregorian.
std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool Earlier(const CreatedAt& a, const CreatedAt& b) {
  if (a.seconds != b.seconds) return a.seconds < b.seconds;
  // Fractions without trailing zeros order as their digit texts do.
  return a.fraction < b.fraction;
}

}  // namespace

bool ParseCreatedAt(std::string_view s, CreatedAt* out) {
  size_t pos = 0;
  int year, month, day, hour = 0, minute = 0, second = 0;
  if (!Number(s, &pos, 4, &year) || !Expect(s, &pos, '-') || !Number(s, &pos, 2, &month) || !Expect(s, &pos, '-') ||
      !Number(s, &pos, 2, &day))
    return false;
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return false;
  std::string fraction;
  std::int64_t offset = 0;
  if (pos < s.size()) {
    if (!Expect(s, &pos, 'T') || !Number(s, &pos, 2, &hour) || !Expect(s, &pos, ':') || !Number(s, &pos, 2, &minute))
      return false;
    if (pos < s.size() && s[pos] == ':') {
      ++pos;
      if (!Number(s, &pos, 2, &second)) return false;
      if (pos < s.size() && s[pos] == '.') {
        ++pos;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') fraction += s[pos++];
        if (fraction.empty()) return false;
      }
    }
    if (hour > 23 || minute > 59 || second > 59) return false;
    if (pos < s.size() && s[pos] == 'Z') {
      ++pos;
    } else if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
      const bool east = s[pos++] == '+';
      int oh, om;
      if (!Number(s, &pos, 2, &oh) || !Expect(s, &pos, ':') || !Number(s, &pos, 2, &om) || oh > 23 || om > 59)
        return false;
      offset = (east ? 1 : -1) * (oh * 3600 + om * 60);
    }
    if (pos != s.size()) return false;
  }
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  out->seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
  out->fraction = std::move(fraction);
  return true;
}

bool MayTakeCreatedAt(std::string_view remembered, std::string_view offered) {
  CreatedAt before, now;
  if (!ParseCreatedAt(remembered, &before)) return true;
  return ParseCreatedAt(offered, &now) && !Earlier(now, before);
}

std::string CreatedAtValueName(std::string_view product) { return "ManifestCreatedAt-" + std::string(product); }
