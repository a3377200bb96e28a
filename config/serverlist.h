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

// The list built into the program, used when neither the operator's site nor
// the cache gives a usable one.
std::string_view DefaultServerListText();

// The registry cache holds the list as UTF-16 text, but the list must come
// back byte for byte even when it is not valid UTF-8 (a body cut inside a
// character at the fetch limit, a file saved in GBK). Well-formed UTF-8
// becomes ordinary UTF-16; every byte of an ill-formed sequence becomes a
// lone low surrogate U+DC80..U+DCFF, which no well-formed text yields, so the
// reverse is exact. The units are UTF-16 code units on every platform.
std::wstring CacheTextFromBytes(std::string_view bytes);
std::string BytesFromCacheText(std::wstring_view units);
