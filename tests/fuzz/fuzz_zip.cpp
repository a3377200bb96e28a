// Addon packs come from a server: the zip reader must take any bytes, and a
// name it accepts must never climb out of the destination.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "install/zip_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view zip(reinterpret_cast<const char*>(data), size);
  std::vector<ZipEntry> entries;
  std::string why;
  if (!ListZip(zip, &entries, &why)) return 0;
  for (const ZipEntry& e : entries) {
    std::string body;
    ReadZipEntry(zip, e, &body, &why, 1 << 20);
    if (IsSafeZipEntryName(e.name)) {
      if (e.name.find("../") == 0 || e.name == ".." || e.name.find("/../") != std::string::npos ||
          e.name.find(':') != std::string::npos || e.name[0] == '/')
        std::abort();
    }
  }
  ZipTopLevelItems(entries);
  return 0;
}
