#pragma once
// The canonical text of a client manifest and its identity: the SHA-256 of
// that text. Producers compute the declared manifest_id over the same text,
// so every byte here is part of the contract.
#include <string>
#include <string_view>

// Appends s as a quoted JSON string: '"' and '\' get a backslash, bytes
// below 0x20 become \u00xx (lowercase hex), every other byte is kept.
void JsonEscapeString(std::string* out, std::string_view s);

// Fixed key order, no white space; false (and nothing written) when a key
// the identity needs is missing.
bool BuildCanonicalManifest(std::string_view document, std::string* out);
bool ComputeManifestId(std::string_view document, std::string* id);
// The declared manifest_id equals the computed identity, ignoring case.
bool VerifyManifestId(std::string_view document);
