// Manifest documents come from mirrors: the scanner, the canonical text and
// the record reader must take any bytes, and what they accept must hold
// together (a parsed record has files; an accepted document has an identity).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "manifest/canonical.h"
#include "manifest/client_manifest.h"
#include "manifest/install_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view doc(reinterpret_cast<const char*>(data), size);
  std::string s, raw;
  std::uint64_t n = 0;
  std::vector<std::string> arr;
  std::vector<ManifestFile> files;
  JsonFindString(doc, "product", &s);
  JsonFindUInt64(doc, "size", &n);
  JsonFindStringArray(doc, "mirrors", &arr);
  if (JsonFindRaw(doc, "download", &raw) && raw.empty()) std::abort();
  JsonFindFiles(doc, &files);

  ClientManifest m;
  if (ParseClientManifest(doc, &m) && m.files.empty()) std::abort();
  std::string canonical;
  if (BuildCanonicalManifest(doc, &canonical)) {
    // Canonical text has no white space outside string values and one
    // identity of 64 digits.
    if (canonical.front() != '{' || canonical.back() != '}') std::abort();
    std::string id;
    if (!ComputeManifestId(doc, &id) || id.size() != 64) std::abort();
  }
  for (const ManifestFile& f : m.files) {
    if (IsSafeManifestPath(f.path) && (f.path.find("..") != std::string::npos || f.path.find(':') != std::string::npos))
      std::abort();
    // The key never grows and holds no separator but '\\'.
    std::string key = LocalPathKey(f.path);
    if (key.size() > f.path.size() || key.find('/') != std::string::npos) std::abort();
  }
  return 0;
}
