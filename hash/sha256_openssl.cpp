// Digest backend of the native build (the operator's tools and the native
// tests): OpenSSL's libcrypto.
#include <openssl/evp.h>

#include <cstdio>

#include "hash/sha256.h"

bool Sha256HexOfString(std::string_view data, std::string* out) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr) != 1 || len != 32) return false;
  char hex[65];
  for (unsigned i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  out->assign(hex, 64);
  return true;
}
