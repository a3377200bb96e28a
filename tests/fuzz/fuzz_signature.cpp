// A signature file comes from any mirror: any bytes must parse without
// crashing, and a line that is accepted is the one text of its content, so
// that two different files never pass as the same signature. A signed
// manifest's created_at is any text too: a time that reads is taken after
// itself, and the order never takes both of two different times.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "manifest/fetch_manifest_rules.h"
#include "manifest/signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  SignatureLine line;
  if (ParseSignatureLine(text, &line) && FormatSignatureLine(line) != text) std::abort();
  std::string bytes;
  if (Base64Decode(text, &bytes) && Base64Encode(bytes) != text) std::abort();
  const size_t half = size / 2;
  const std::string_view a = text.substr(0, half), b = text.substr(half);
  CreatedAt t;
  if (ParseCreatedAt(a, &t) && !MayTakeCreatedAt(a, a)) std::abort();
  CreatedAt ta, tb;
  if (ParseCreatedAt(a, &ta) && ParseCreatedAt(b, &tb) && MayTakeCreatedAt(a, b) && MayTakeCreatedAt(b, a) &&
      (ta.seconds != tb.seconds || ta.fraction != tb.fraction))
    std::abort();
  return 0;
}
