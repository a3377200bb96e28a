#pragma once
// What a keyed launcher takes of a manifest whose signature verified. The
// signature covers the bytes, not where they were served: a mirror, or
// anyone on the path, can serve another product's signed manifest under
// this product's name, or one the operator signed months ago.
#include <cstdint>
#include <string>
#include <string_view>

// A created_at as a point in time, UTC.
struct CreatedAt {
  std::int64_t seconds = 0;  // since 1970-01-01T00:00:00Z
  std::string fraction;      // the second's fraction digits, trailing zeros dropped
};

// "YYYY-MM-DD", optionally followed by "THH:MM" or "THH:MM:SS" with an
// optional fraction, optionally "Z" or an offset "+HH:MM" / "-HH:MM" (a
// time without either is taken as UTC). False for anything else, a date
// that does not exist included.
bool ParseCreatedAt(std::string_view text, CreatedAt* out);

// Whether a signed manifest created at `offered` may be taken after one
// created at `remembered` was taken ("" when none was). Not older is taken;
// an offered time that does not read is refused while a readable one is
// remembered, since it cannot be shown not to be older. A remembered value
// that does not read remembers nothing.
bool MayTakeCreatedAt(std::string_view remembered, std::string_view offered);

// The registry value, under the launcher's settings key, that holds the
// newest created_at taken for `product`.
std::string CreatedAtValueName(std::string_view product);
