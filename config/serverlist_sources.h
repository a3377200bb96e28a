#pragma once
// Where the server list comes from at start-up: the operator's site, else
// the last good copy cached in the registry, else the built-in default.
#include <string>

inline constexpr size_t kServerListFetchLimit = 32768;
inline constexpr unsigned long kServerListCacheLimit = 65536;  // bytes, NUL included

enum class ServerListSource { Site, Cache, BuiltIn };

// The site's list when it is usable (signed where the launcher is keyed, at
// least one entry), then also stored as the cache; empty otherwise. Leaves
// the process-wide list alone, so a thread may call it while the window
// reads the list.
std::string FetchUsableServerList();
// Fills the list from `siteText` when it is not empty, else from the cache,
// else from the built-in text, and says which.
ServerListSource FillServerList(const std::string& siteText);
// Both in one: the best source; returns the number of entries.
int LoadServerList();
// The operator's serverlist.txt, cut at 32,768 bytes; empty on failure.
std::string FetchServerListText();
// Parses the registry copy; 0 when there is no usable one.
int ReadCachedServerList();
void StoreCachedServerList(const std::string& text);
