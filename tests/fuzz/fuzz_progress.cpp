// A progress file may be cut short by a crash or edited by hand: reading it
// must never crash, and what it reads must survive a save and a new read.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "manifest/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  ProgressDocument doc;
  if (!ParseProgressText(text, &doc)) return 0;
  ProgressState s;
  s.product = doc.product;
  s.manifest_id = doc.manifest_id;
  s.files = doc.files;
  ProgressDocument again;
  if (!ParseProgressText(FormatProgressText(s, doc.install_dir), &again)) {
    // Values are written verbatim, so a product holding a quote cannot be
    // read back; that is the format's known limit, not a crash.
    if (doc.product.find('"') == std::string::npos && doc.manifest_id.find('"') == std::string::npos) std::abort();
  }
  return 0;
}
