// The server list text comes from the operator's site or the registry: any
// bytes must parse without crashing, and every stored entry must have a name
// and no line break inside a field.
#include "config/serverlist.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  ClearServerList();
  int n = ParseServerList(text);
  if (n != ServerCount()) std::abort();
  for (int i = 0; i < n; ++i) {
    const ServerEntry* e = ServerAt(i);
    if (!e || e->name.empty()) std::abort();
    for (const std::string* f : {&e->name, &e->website, &e->realm, &e->patch, &e->description})
      if (f->find('\n') != std::string::npos || f->find('|') != std::string::npos) std::abort();
  }
  return 0;
}
