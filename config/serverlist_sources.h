#pragma once
// Where the server list comes from at start-up: the operator's site, else
// the last good copy cached in the registry, else the built-in default.
#include <string>

inline constexpr size_t kServerListFetchLimit = 32768;
inline constexpr unsigned long kServerListCacheLimit = 65536;  // bytes, NUL included

// Fills the list from the best source; returns the number of entries.
int LoadServerList();
// The operator's serverlist.txt, cut at 32,768 bytes; empty on failure.
std::string FetchServerListText();
// Parses the registry copy; 0 when there is no usable one.
int ReadCachedServerList();
void StoreCachedServerList(const std::string& text);
