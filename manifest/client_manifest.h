#pragma once
// A client manifest: one downloadable file set of the game client, as read
// from the mirrors' JSON document.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/json_scan.h"

struct ClientManifest {
  std::string manifest_id;  // after a fetch: the computed canonical identity
  std::string product;
  std::string install_root;
  std::string created_at;  // as written; empty when the document has none
  std::uint64_t total_bytes = 0;
  std::vector<std::string> mirrors;
  std::vector<ManifestFile> files;
  std::uint32_t max_total_connections = 3;
  std::uint32_t max_connections_per_mirror = 1;
  bool range_supported = true;
};

// Fills a fresh record from the document; true when it names an id, a
// product, an install root and at least one complete file.
bool ParseClientManifest(std::string_view document, ClientManifest* out);
// <base>/<product>/files/<percent-encoded path>
std::string BuildFileUrl(std::string_view mirrorBase, std::string_view product, std::string_view path);
