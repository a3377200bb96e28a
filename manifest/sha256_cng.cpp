#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "manifest/sha256.h"

namespace {

constexpr size_t kFileBlock = 1048576;

// One provider, one hash object and one hash per call, all released on
// every path, so any number of threads may hash at once.
class Sha256 {
 public:
  Sha256() {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg_, L"SHA256", nullptr, 0))) {
      alg_ = nullptr;
      return;
    }
    DWORD objLen = 0, got = 0;
    if (!BCRYPT_SUCCESS(BCryptGetProperty(alg_, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objLen),
                                          sizeof objLen, &got, 0)))
      return;
    object_.assign(objLen, 0);
    if (!BCRYPT_SUCCESS(BCryptCreateHash(alg_, &hash_, object_.data(), objLen, nullptr, 0, 0)))
      hash_ = nullptr;
  }
  ~Sha256() {
    if (hash_) BCryptDestroyHash(hash_);
    if (alg_) BCryptCloseAlgorithmProvider(alg_, 0);
  }
  bool ok() const { return hash_ != nullptr; }
  bool Update(const void* data, size_t n) {
    return BCRYPT_SUCCESS(BCryptHashData(hash_, static_cast<PUCHAR>(const_cast<void*>(data)),
                                         static_cast<ULONG>(n), 0));
  }
  bool Finish(std::string* out) {
    UCHAR digest[32];
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash_, digest, sizeof digest, 0))) return false;
    char hex[65];
    for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    out->assign(hex, 64);
    return true;
  }

 private:
  BCRYPT_ALG_HANDLE alg_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
  std::vector<UCHAR> object_;
};

}  // namespace

bool Sha256HexOfString(std::string_view data, std::string* out) {
  Sha256 h;
  if (!h.ok()) return false;
  // BCryptHashData takes a 32-bit length; the canonical text is far below that.
  if (!h.Update(data.data(), data.size())) return false;
  return h.Finish(out);
}

bool Sha256HexOfFile(const std::wstring& path, std::string* out) {
  Sha256 h;
  if (!h.ok()) return false;
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return false;
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kFileBlock]());
  if (!buf) {
    std::fclose(f);
    return false;
  }
  size_t n;
  while ((n = std::fread(buf.get(), 1, kFileBlock, f)) > 0) {
    if (!h.Update(buf.get(), n)) {
      std::fclose(f);
      return false;
    }
  }
  std::fclose(f);
  return h.Finish(out);
}
