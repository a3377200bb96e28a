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
void ClearServerList();

// Readers: an index outside [0, count) reads nothing.
int ServerCount();
bool GetServerEntry(int index, ServerEntry* out);
const ServerEntry* ServerAt(int index);

// The list built into the program, used when neither the operator's site nor
// the cache gives a usable one.
std::string_view DefaultServerListText();
