#include "config/serverlist.h"

#include <utility>
#include <vector>

namespace {

std::vector<ServerEntry> g_servers;

bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsTrimmed(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsTrimmed(s.back())) s.remove_suffix(1);
  return s;
}

// Cuts a trimmed entry line at '|'. An empty text after the last '|' is not a
// field; at most five segments are kept, so a description cannot hold '|'.
bool ParseEntryLine(std::string_view line, ServerEntry* out) {
  std::vector<std::string_view> seg;
  size_t start = 0;
  for (;;) {
    size_t bar = line.find('|', start);
    if (bar == std::string_view::npos) {
      seg.push_back(line.substr(start));
      break;
    }
    seg.push_back(line.substr(start, bar - start));
    start = bar + 1;
  }
  if (!seg.empty() && seg.back().empty()) seg.pop_back();
  if (seg.size() > 5) seg.resize(5);
  if (seg.size() < 4 || seg[0].empty()) return false;
  out->name.assign(seg[0]);
  out->website.assign(seg[1]);
  out->realm.assign(seg[2]);
  out->patch.assign(seg[3]);
  out->description.assign(seg.size() > 4 ? seg[4] : std::string_view());
  return true;
}

// Three realms on the operator's default host, then the [Config] marker; 450
// bytes in all, as the launcher has always shipped it.
constexpr char8_t kDefaultServerList[] =
    u8"星桥·巫妖王之怒|https://www.realmporter.example/"
    u8"register|logon.realmporter.example:3724|logon.realmporter.example:3724|经验五倍，稳定长久\n"
    u8"星桥·燃烧的远征|https://www.realmporter.example/"
    u8"register|tbc.realmporter.example:3724|tbc.realmporter.example:3724|怀旧经典服，2.4.3\n"
    u8"星桥·测试服|https://www.realmporter.example/"
    u8"register|ptr.realmporter.example:3724|ptr.realmporter.example:3724|新内容抢先体验\n"
    u8"[Config]\n";
static_assert(sizeof(kDefaultServerList) - 1 == 450, "the built-in server list is 450 bytes");

}  // namespace

namespace {

std::vector<ServerEntry> ParseEntries(std::string_view text) {
  std::vector<ServerEntry> parsed;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t lf = text.find('\n', pos);
    std::string_view raw = text.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    std::string_view line = Trim(raw);
    if (!line.empty() && line != "[Config]" && line.find('|') != std::string_view::npos) {
      ServerEntry e;
      if (ParseEntryLine(line, &e)) parsed.push_back(std::move(e));
    }
    if (lf == std::string_view::npos) break;
    pos = lf + 1;
  }
  return parsed;
}

}  // namespace

int ParseServerList(std::string_view text) {
  std::vector<ServerEntry> parsed = ParseEntries(text);
  if (parsed.empty()) return 0;
  g_servers = std::move(parsed);
  return static_cast<int>(g_servers.size());
}

int CountServerEntries(std::string_view text) { return static_cast<int>(ParseEntries(text).size()); }

void ClearServerList() { g_servers.clear(); }

int ServerCount() { return static_cast<int>(g_servers.size()); }

const ServerEntry* ServerAt(int index) {
  if (index < 0 || index >= ServerCount()) return nullptr;
  return &g_servers[static_cast<size_t>(index)];
}

bool GetServerEntry(int index, ServerEntry* out) {
  const ServerEntry* e = ServerAt(index);
  if (!e || !out) return false;
  *out = *e;
  return true;
}

std::string_view DefaultServerListText() {
  return std::string_view(reinterpret_cast<const char*>(kDefaultServerList), sizeof(kDefaultServerList) - 1);
}

namespace {

// Length of the well-formed UTF-8 sequence at `at` and its code point; 0
// when the bytes there are not one.
size_t DecodeUtf8(std::string_view s, size_t at, char32_t* cp) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char b = byte(at);
  size_t len = 0;
  // Bounds of the second byte: they exclude overlong forms, surrogates and
  // code points above U+10FFFF.
  unsigned char lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - at < len) return 0;
  if (byte(at + 1) < lo || byte(at + 1) > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  char32_t c = b & (0x7F >> len);
  for (size_t i = 1; i < len; ++i) c = c << 6 | (byte(at + i) & 0x3F);
  *cp = c;
  return len;
}

void AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | c >> 6));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | c >> 12));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | c >> 18));
    out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::wstring CacheTextFromBytes(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    char32_t c = b;
    size_t len = b < 0x80 ? 1 : DecodeUtf8(bytes, i, &c);
    if (len == 0) {
      out.push_back(static_cast<wchar_t>(0xDC00 + b));
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      out.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<wchar_t>(c));
    }
    i += len;
  }
  return out;
}

std::string BytesFromCacheText(std::wstring_view units) {
  std::string out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t u = static_cast<char32_t>(units[i]) & 0xFFFF;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size()) {
      char32_t next = static_cast<char32_t>(units[i + 1]) & 0xFFFF;
      if (next >= 0xDC00 && next <= 0xDFFF) {
        AppendUtf8(&out, 0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xDC80 && u <= 0xDCFF)
      out.push_back(static_cast<char>(u - 0xDC00));
    else if (u >= 0xD800 && u <= 0xDFFF)
      AppendUtf8(&out, 0xFFFD);  // not written by this program
    else
      AppendUtf8(&out, u);
  }
  return out;
}
