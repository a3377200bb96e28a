#include "net/url.h"

#include "net/ascii.h"

std::string UrlEncodePath(std::string_view path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size() * 3);
  for (unsigned char b : path) {
    bool keep = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' || b == '_' ||
                b == '.' || b == '~' || b == '/';
    if (keep) {
      out.push_back(static_cast<char>(b));
    } else {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    }
  }
  return out;
}

std::string EnsureTrailingSlash(std::string_view url) {
  std::string out(url);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  return out;
}

bool IsWebAddress(std::string_view address) {
  // The shell puts the address into the browser's command line as "%1": a
  // quote or a line break in it would add arguments of the list's choosing.
  for (char c : address)
    if (c == '"' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")})
    if (address.size() > scheme.size() && EqualsIgnoreAsciiCase(address.substr(0, scheme.size()), scheme)) return true;
  return false;
}

std::string UrlServerRoot(std::string_view url) {
  size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  size_t slash = url.find('/', scheme + 3);
  return std::string(url.substr(0, slash)) + "/";
}

namespace {

// The decimal number at `text`; false when there is none or it overflows.
bool ReadNumber(std::string_view text, size_t* at, std::uint64_t* value) {
  size_t p = *at;
  std::uint64_t v = 0;
  while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
    const unsigned digit = static_cast<unsigned>(text[p] - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
    ++p;
  }
  if (p == *at) return false;
  *at = p;
  *value = v;
  return true;
}

}  // namespace

bool ContentRangeStart(std::string_view contentRange, std::uint64_t* start) {
  size_t p = contentRange.find_first_not_of(' ');
  if (p == std::string_view::npos || contentRange.substr(p, 6) != "bytes ") return false;
  p = contentRange.find_first_not_of(' ', p + 6);
  return p != std::string_view::npos && ReadNumber(contentRange, &p, start) && p < contentRange.size() &&
         contentRange[p] == '-';
}

std::uint64_t ContentRangeTotal(std::string_view contentRange) {
  size_t p = contentRange.find('/');
  if (p == std::string_view::npos) return 0;
  ++p;
  std::uint64_t total = 0;
  return ReadNumber(contentRange, &p, &total) ? total : 0;
}
