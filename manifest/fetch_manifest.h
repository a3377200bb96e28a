#pragma once
#include <string>

#include "manifest/client_manifest.h"

// Fetches "<name>.json" from the built-in mirror bases in order and takes the
// first document that parses and has a computable identity; the record's
// manifest_id is that computed identity. On failure `error` gets a GBK text.
bool FetchClientManifest(const std::string& name, ClientManifest* out, std::string* error);
