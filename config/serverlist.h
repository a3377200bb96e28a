#pragma once
// The realms the launcher offers: one process-wide ordered list of entries
// parsed from the server list text (one "name|website|realm|patch|description"
// line per realm, UTF-8). Filled once at start-up, then only read.
#include <string>
#include <string_view>

struct ServerEntry {
  std::string name;
  std::string website;
  std::string realm;        // host:port, written as "set realmlist"
  std::string patch;        // host:port, written as "set patchlist"
  std::string description;  // may be empty
};

// The fields of one line of a server list, trimmed: "name|website|realm|patch"
// and an optional description. An empty text after the last '|' is not a
// field; at most five fields are kept, so a description cannot hold '|'.
// False for a line that is no entry (blank, "[Config]", no '|', fewer than
// four fields, an empty name). Usable at compile time: the build checks the
// built-in list with it.
struct EntryFields {
  std::string_view field[5];
  int count = 0;
};
constexpr bool IsServerListBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
constexpr bool ReadEntryLine(std::string_view line, EntryFields* out) {
  while (!line.empty() && IsServerListBlank(line.front())) line.remove_prefix(1);
  while (!line.empty() && IsServerListBlank(line.back())) line.remove_suffix(1);
  if (line.empty() || line == "[Config]" || line.find('|') == std::string_view::npos) return false;
  int n = 0;
  size_t start = 0;
  for (;;) {
    const size_t bar = line.find('|', start);
    const std::string_view seg = line.substr(start, bar == std::string_view::npos ? bar : bar - start);
    if (bar == std::string_view::npos) {
      if (!seg.empty() && n < 5) out->field[n++] = seg;
      break;
    }
    if (n < 5) out->field[n++] = seg;
    start = bar + 1;
  }
  out->count = n;
  return n >= 4 && !out->field[0].empty();
}
// The number of entry lines in `text`.
constexpr int CountServerListEntries(std::string_view text) {
  int n = 0;
  for (size_t pos = 0; pos <= text.size();) {
    const size_t lf = text.find('\n', pos);
    EntryFields f;
    if (ReadEntryLine(text.substr(pos, lf == std::string_view::npos ? lf : lf - pos), &f)) ++n;
    if (lf == std::string_view::npos) break;
    pos = lf + 1;
  }
  return n;
}

// Parses the text; when it yields at least one entry the new entries replace
// the list and their count is returned, otherwise the list stays as it was
// and 0 is returned.
int ParseServerList(std::string_view text);
// The entries the text would give, leaving the list alone (for a thread that
// must not touch the list the window reads).
int CountServerEntries(std::string_view text);
void ClearServerList();

// Readers: an index outside [0, count) reads nothing.
int ServerCount();
bool GetServerEntry(int index, ServerEntry* out);
const ServerEntry* ServerAt(int index);

// The list built into the program (REALMPORTER_SERVER_LIST), used when
// neither the operator's site nor the cache gives a usable one.
std::string_view DefaultServerListText();

// The registry cache holds the list as UTF-16 text, but the list must come
// back byte for byte even when it is not valid UTF-8 (a body cut inside a
// character at the fetch limit, a file saved in GBK). Well-formed UTF-8
// becomes ordinary UTF-16; every byte of an ill-formed sequence becomes a
// lone low surrogate U+DC80..U+DCFF, which no well-formed text yields, so the
// reverse is exact. The units are UTF-16 code units on every platform.
std::wstring CacheTextFromBytes(std::string_view bytes);
std::string BytesFromCacheText(std::wstring_view units);
