#include "config/serverlist.h"

#include <utility>
#include <vector>

#include "builtin_serverlist.h"

namespace {

std::vector<ServerEntry> g_servers;

static_assert(CountServerListEntries(std::string_view(kBuiltInServerList, sizeof kBuiltInServerList)) > 0,
              "REALMPORTER_SERVER_LIST: no line of the file is a realm entry (name|website|realm|patch|description)");

}  // namespace

namespace {

std::vector<ServerEntry> ParseEntries(std::string_view text) {
  std::vector<ServerEntry> parsed;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t lf = text.find('\n', pos);
    EntryFields f;
    if (ReadEntryLine(text.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos), &f)) {
      ServerEntry e;
      e.name.assign(f.field[0]);
      e.website.assign(f.field[1]);
      e.realm.assign(f.field[2]);
      e.patch.assign(f.field[3]);
      e.description.assign(f.count > 4 ? f.field[4] : std::string_view());
      parsed.push_back(std::move(e));
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

std::string_view DefaultServerListText() { return std::string_view(kBuiltInServerList, sizeof kBuiltInServerList); }

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
