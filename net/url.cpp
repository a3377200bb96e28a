#include "net/url.h"

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

std::string UrlServerRoot(std::string_view url) {
  size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  size_t slash = url.find('/', scheme + 3);
  return std::string(url.substr(0, slash)) + "/";
}
