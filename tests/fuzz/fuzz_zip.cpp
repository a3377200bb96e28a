// Addon packs come from a server: the zip reader must take any bytes, and a
// name it accepts must never climb out of the destination.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "install/zip_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ZipSource zip = MemoryZipSource(std::string_view(reinterpret_cast<const char*>(data), size));
  std::vector<ZipEntry> entries;
  std::string why;
  if (!ListZip(zip, &entries, &why)) return 0;
  for (const ZipEntry& e : entries) {
    // A declared size is not trusted: the sink sees at most that much, and
    // the run stops taking bytes after 1 MiB.
    std::uint64_t taken = 0;
    StreamZipEntry(
        zip, e,
        [&](const char*, size_t n) {
          taken += n;
          if (taken > e.size) std::abort();
          return taken <= (1u << 20);
        },
        &why);
    if (IsSafeZipEntryName(e.name)) {
      if (e.name.find("../") == 0 || e.name == ".." || e.name.find("/../") != std::string::npos ||
          e.name.find(':') != std::string::npos || e.name[0] == '/')
        std::abort();
    }
  }
  return 0;
}
