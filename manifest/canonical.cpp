#include "manifest/canonical.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "manifest/json_scan.h"
#include "hash/sha256.h"

namespace {

void AppendNumber(std::string* out, std::uint64_t n) { out->append(std::to_string(n)); }

}  // namespace

void JsonEscapeString(std::string* out, std::string_view s) {
  out->push_back('"');
  for (unsigned char b : s) {
    if (b == '"' || b == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(b));
    } else if (b < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", b);
      out->append(buf);
    } else {
      out->push_back(static_cast<char>(b));
    }
  }
  out->push_back('"');
}

bool BuildCanonicalManifest(std::string_view doc, std::string* out) {
  std::string createdAt, displayName, installRoot, product;
  std::uint64_t schemaVersion = 0, totalBytes = 0, fileCount = 0;
  std::vector<std::string> mirrors;
  std::string download;
  std::string mode, urlTemplate, userAgent, rangeSupported;
  std::uint64_t maxPerMirror = 0, maxTotal = 0;
  std::vector<ManifestFile> files;
  if (!JsonFindString(doc, "created_at", &createdAt) || !JsonFindString(doc, "display_name", &displayName) ||
      !JsonFindString(doc, "install_root", &installRoot) || !JsonFindString(doc, "product", &product) ||
      !JsonFindUInt64(doc, "schema_version", &schemaVersion) || !JsonFindUInt64(doc, "total_bytes", &totalBytes) ||
      !JsonFindUInt64(doc, "file_count", &fileCount) || !JsonFindStringArray(doc, "mirrors", &mirrors) ||
      !JsonFindRaw(doc, "download", &download) || !JsonFindString(download, "mode", &mode) ||
      !JsonFindString(download, "url_template", &urlTemplate) || !JsonFindString(download, "user_agent", &userAgent) ||
      !JsonFindString(download, "range_supported", &rangeSupported) ||
      !JsonFindUInt64(download, "max_connections_per_mirror", &maxPerMirror) ||
      !JsonFindUInt64(download, "max_total_connections", &maxTotal) || !JsonFindFiles(doc, &files))
    return false;

  std::string t;
  t.reserve(512 + files.size() * 160);
  t.append("{\"created_at\":");
  JsonEscapeString(&t, createdAt);
  t.append(",\"display_name\":");
  JsonEscapeString(&t, displayName);
  t.append(",\"download\":{\"max_connections_per_mirror\":");
  AppendNumber(&t, maxPerMirror);
  t.append(",\"max_total_connections\":");
  AppendNumber(&t, maxTotal);
  t.append(",\"mode\":");
  JsonEscapeString(&t, mode);
  t.append(",\"range_supported\":").append(rangeSupported);
  t.append(",\"url_template\":");
  JsonEscapeString(&t, urlTemplate);
  t.append(",\"user_agent\":");
  JsonEscapeString(&t, userAgent);
  t.append("},\"file_count\":");
  AppendNumber(&t, fileCount);
  t.append(",\"files\":[");
  for (size_t i = 0; i < files.size(); ++i) {
    if (i) t.push_back(',');
    t.append("{\"path\":");
    JsonEscapeString(&t, files[i].path);
    t.append(",\"sha256\":");
    JsonEscapeString(&t, files[i].sha256);
    t.append(",\"size\":");
    AppendNumber(&t, files[i].size);
    t.push_back('}');
  }
  t.append("],\"install_root\":");
  JsonEscapeString(&t, installRoot);
  t.append(",\"mirrors\":[");
  for (size_t i = 0; i < mirrors.size(); ++i) {
    if (i) t.push_back(',');
    JsonEscapeString(&t, mirrors[i]);
  }
  t.append("],\"product\":");
  JsonEscapeString(&t, product);
  t.append(",\"schema_version\":");
  AppendNumber(&t, schemaVersion);
  t.append(",\"total_bytes\":");
  AppendNumber(&t, totalBytes);
  t.push_back('}');
  *out = std::move(t);
  return true;
}

bool ComputeManifestId(std::string_view document, std::string* id) {
  std::string canonical;
  if (!BuildCanonicalManifest(document, &canonical)) return false;
  return Sha256HexOfString(canonical, id);
}

bool VerifyManifestId(std::string_view document) {
  std::string declared, computed;
  if (!JsonFindString(document, "manifest_id", &declared)) return false;
  if (!ComputeManifestId(document, &computed)) return false;
  return DigestEquals(declared, computed);
}
