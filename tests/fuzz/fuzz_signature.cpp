// A signature file comes from any mirror: any bytes must parse without
// crashing, and a line that is accepted is the one text of its content, so
// that two different files never pass as the same signature.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "manifest/signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  SignatureLine line;
  if (ParseSignatureLine(text, &line) && FormatSignatureLine(line) != text) std::abort();
  std::string bytes;
  if (Base64Decode(text, &bytes) && Base64Encode(bytes) != text) std::abort();
  return 0;
}
