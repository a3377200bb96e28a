#pragma once
// SHA-256 digests as 64 lowercase hexadecimal digits. On Windows through
// CNG; the native build (operator tools, tests) uses OpenSSL's libcrypto.
// On failure the output is left as it was.
#include <string>
#include <string_view>

bool Sha256HexOfString(std::string_view data, std::string* out);
#if defined(_WIN32)
// Streams the file through one 1 MiB buffer.
bool Sha256HexOfFile(const std::wstring& path, std::string* out);
#endif

// Digest texts from a manifest may be in either case.
bool DigestEquals(std::string_view a, std::string_view b);
