#include "manifest/json_scan.h"

#include <limits>

namespace {

constexpr size_t npos = std::string_view::npos;

size_t FindNeedle(std::string_view text, std::string_view key) {
  std::string needle;
  needle.reserve(key.size() + 2);
  needle.append(1, '"').append(key).append(1, '"');
  return text.find(needle);
}

// The bytes between the first quote at or after `from` and the next quote.
bool QuotedAfter(std::string_view text, size_t from, std::string_view* out, size_t* end) {
  size_t open = text.find('"', from);
  if (open == npos) return false;
  size_t close = text.find('"', open + 1);
  if (close == npos) return false;
  *out = text.substr(open + 1, close - open - 1);
  if (end) *end = close;
  return true;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// strtoull's rules, without its locale or errno: leading white space, an
// optional sign ('-' negates modulo 2^64), digits; overflow saturates.
bool ParseUInt64(std::string_view s, size_t pos, std::uint64_t* out) {
  while (pos < s.size() && IsSpace(s[pos])) ++pos;
  bool negative = false;
  if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
    negative = s[pos] == '-';
    ++pos;
  }
  std::uint64_t value = 0;
  bool overflow = false, any = false;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (; pos < s.size() && s[pos] >= '0' && s[pos] <= '9'; ++pos) {
    any = true;
    unsigned d = static_cast<unsigned>(s[pos] - '0');
    if (value > (kMax - d) / 10)
      overflow = true;
    else
      value = value * 10 + d;
  }
  if (!any) {
    *out = 0;
    return false;
  }
  if (overflow)
    value = kMax;
  else if (negative)
    value = 0 - value;
  *out = value;
  return true;
}

}  // namespace

bool JsonFindString(std::string_view text, std::string_view key, std::string* out) {
  size_t at = FindNeedle(text, key);
  if (at == npos) return false;
  size_t colon = text.find(':', at);
  if (colon == npos) return false;
  std::string_view value;
  if (!QuotedAfter(text, colon, &value, nullptr)) return false;
  out->assign(value);
  return true;
}

bool JsonFindUInt64(std::string_view text, std::string_view key, std::uint64_t* out) {
  size_t at = FindNeedle(text, key);
  if (at == npos) return false;
  size_t pos = text.find(':', at);
  if (pos == npos) return false;
  while (pos < text.size() && (text[pos] == ':' || text[pos] == ' ' || text[pos] == '\t')) ++pos;
  return ParseUInt64(text, pos, out);
}

bool JsonFindStringArray(std::string_view text, std::string_view key, std::vector<std::string>* out) {
  size_t at = FindNeedle(text, key);
  if (at == npos) return false;
  size_t open = text.find('[', at);
  if (open == npos) return false;
  size_t close = text.find(']', open);
  if (close == npos) return false;
  std::string_view inner = text.substr(open + 1, close - open - 1);
  size_t cursor = 0, end = 0;
  std::string_view item;
  while (QuotedAfter(inner, cursor, &item, &end)) {
    out->emplace_back(item);
    cursor = end + 1;
  }
  return !out->empty();
}

bool JsonFindRaw(std::string_view text, std::string_view key, std::string* out) {
  size_t at = FindNeedle(text, key);
  if (at == npos) return false;
  size_t colon = text.find(':', at);
  if (colon == npos) return false;
  size_t i = colon + 1;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
  if (i >= text.size()) return false;
  char c = text[i];
  if (c == '"') {
    for (size_t j = i + 1; j < text.size(); ++j) {
      if (text[j] == '\\') {
        ++j;
      } else if (text[j] == '"') {
        out->assign(text.substr(i, j - i + 1));
        return true;
      }
    }
    return false;
  }
  if (c == '{' || c == '[') {
    char closer = c == '{' ? '}' : ']';
    int depth = 0;
    for (size_t j = i; j < text.size(); ++j) {
      if (text[j] == c) {
        ++depth;
      } else if (text[j] == closer) {
        if (depth == 1) {
          out->assign(text.substr(i, j - i + 1));
          return true;
        }
        --depth;
      }
    }
    return false;
  }
  size_t end = text.find_first_of(",}\r\n", i);
  std::string_view bare = text.substr(i, end == npos ? npos : end - i);
  while (!bare.empty() && (bare.back() == ' ' || bare.back() == '\t')) bare.remove_suffix(1);
  out->assign(bare);
  return !out->empty();
}

bool JsonFindFiles(std::string_view text, std::vector<ManifestFile>* out) {
  if (text.size() < 7) return false;
  size_t at = text.find("\"files\"");
  if (at == npos) return false;
  size_t open = text.find('[', at);
  if (open == npos) return false;
  size_t cursor = open + 1;
  while (cursor < text.size()) {
    size_t brace = text.find('{', cursor);
    if (brace == npos) break;
    size_t close = text.find('}', brace);
    if (close == npos) break;
    std::string_view entry = text.substr(brace, close - brace + 1);
    ManifestFile f;
    if (JsonFindString(entry, "path", &f.path) && JsonFindUInt64(entry, "size", &f.size) &&
        JsonFindString(entry, "sha256", &f.sha256))
      out->push_back(std::move(f));
    cursor = close + 1;
    size_t nextClose = text.find(']', cursor);
    size_t nextOpen = text.find('{', cursor);
    if (nextClose != npos && nextClose < nextOpen) break;  // npos counts as after every offset
  }
  return !out->empty();
}
