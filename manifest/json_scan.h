#pragma once
// Shallow JSON lookups: a key is found by its first occurrence in double
// quotes anywhere in the text and its value taken by fixed byte-level rules.
// Nesting, escapes and duplicate keys are not interpreted. The manifest and
// progress readers, and every producer of those documents, rely on exactly
// these rules.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ManifestFile {
  std::string path;  // relative, '/'-separated, as written in the manifest
  std::uint64_t size = 0;
  std::string sha256;
};

// The raw bytes between the first two double quotes after the key's colon.
bool JsonFindString(std::string_view text, std::string_view key, std::string* out);
// An unsigned decimal number after the colon (strtoull rules); stores 0 when
// no digit follows and then answers false.
bool JsonFindUInt64(std::string_view text, std::string_view key, std::uint64_t* out);
// Every quoted string between the first '[' after the key and the first ']'
// after that, appended to `out`; true when `out` is not empty.
bool JsonFindStringArray(std::string_view text, std::string_view key, std::vector<std::string>* out);
// The value as written: a quoted string with its quotes, a whole object or
// array, or a bare word trimmed of trailing blanks.
bool JsonFindRaw(std::string_view text, std::string_view key, std::string* out);
// The entries of "files": each flat object with path, size and sha256.
bool JsonFindFiles(std::string_view text, std::vector<ManifestFile>* out);
