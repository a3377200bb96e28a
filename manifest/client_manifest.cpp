#include "manifest/client_manifest.h"

#include "net/url.h"

bool ParseClientManifest(std::string_view doc, ClientManifest* out) {
  ClientManifest m;
  if (!JsonFindString(doc, "manifest_id", &m.manifest_id) || !JsonFindString(doc, "product", &m.product) ||
      !JsonFindString(doc, "install_root", &m.install_root))
    return false;
  JsonFindString(doc, "created_at", &m.created_at);
  JsonFindUInt64(doc, "total_bytes", &m.total_bytes);
  std::vector<std::string> mirrors;
  if (JsonFindStringArray(doc, "mirrors", &mirrors)) m.mirrors = std::move(mirrors);
  std::string download;
  if (JsonFindRaw(doc, "download", &download)) {
    std::uint64_t n = 0;
    if (JsonFindUInt64(download, "max_total_connections", &n) && n != 0)
      m.max_total_connections = static_cast<std::uint32_t>(n);
    n = 0;
    if (JsonFindUInt64(download, "max_connections_per_mirror", &n) && n != 0)
      m.max_connections_per_mirror = static_cast<std::uint32_t>(n);
    std::string range;
    if (JsonFindString(download, "range_supported", &range)) m.range_supported = range == "true";
  }
  JsonFindFiles(doc, &m.files);
  if (m.files.empty()) return false;
  *out = std::move(m);
  return true;
}

std::string BuildFileUrl(std::string_view mirrorBase, std::string_view product, std::string_view path) {
  std::string url = EnsureTrailingSlash(mirrorBase);
  url.append(product).append("/files/").append(UrlEncodePath(path));
  return url;
}
