#include "manifest/signature_win.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "hash/sha256.h"
#include "net/http.h"

namespace {

// One verification with a key imported from its uncompressed point. Any
// failure of the provider counts as a signature that does not verify.
bool VerifyP256(const EcPoint& point, const Sha256Digest& digest, const EcSignature& rs) {
  if (point[0] != 0x04) return false;
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) return false;
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
  BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, point.data() + 1, 64);
  BCRYPT_KEY_HANDLE key = nullptr;
  bool ok = false;
  if (BCRYPT_SUCCESS(BCryptImportKeyPair(alg, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob, sizeof blob, 0))) {
    Sha256Digest d = digest;
    EcSignature s = rs;
    ok = BCryptVerifySignature(key, nullptr, d.data(), static_cast<ULONG>(d.size()), s.data(),
                               static_cast<ULONG>(s.size()), 0) == 0;
    BCryptDestroyKey(key);
  }
  BCryptCloseAlgorithmProvider(alg, 0);
  return ok;
}

}  // namespace

bool OperatorKeysBuiltIn() { return kOperatorKeys.count > 0; }

bool SignatureVerifies(std::string_view sigText, const Sha256Digest& digest, const OperatorKeys& keys) {
  SignatureLine line;
  if (!ParseSignatureLine(sigText, &line)) return false;
  for (size_t i = 0; i < keys.count; ++i) {
    std::string id;
    if (KeyIdOfPoint(keys.points[i], &id) && id == line.keyId) return VerifyP256(keys.points[i], digest, line.rs);
  }
  return false;
}

bool SignedByOperator(const std::string& url, const std::string& sha256Hex) {
  if (!OperatorKeysBuiltIn()) return true;
  Sha256Digest digest;
  std::string sig;
  if (!DigestFromHex(sha256Hex, &digest) || !HttpGetToString(url + kSignatureSuffix, &sig)) return false;
  return sig.size() <= kSignatureFileLimit && SignatureVerifies(sig, digest, kOperatorKeys);
}

bool BytesSignedByOperator(const std::string& url, std::string_view bytes) {
  if (!OperatorKeysBuiltIn()) return true;
  std::string hex;
  return Sha256HexOfString(bytes, &hex) && SignedByOperator(url, hex);
}
