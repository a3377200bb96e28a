#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "hash/sha256.h"
#include "hash/sha256_stream.h"

namespace {

constexpr size_t kFileBlock = 1048576;

}  // namespace

// One provider, one hash object and one hash per stream, all released on
// every path, so any number of threads may hash at once.
Sha256Stream::Sha256Stream() { Open(); }
Sha256Stream::~Sha256Stream() { Close(); }

void Sha256Stream::Open() {
  failed_ = false;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg_, L"SHA256", nullptr, 0))) {
    alg_ = nullptr;
    return;
  }
  DWORD objLen = 0, got = 0;
  if (!BCRYPT_SUCCESS(
          BCryptGetProperty(alg_, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objLen), sizeof objLen, &got, 0)))
    return;
  object_.assign(objLen, 0);
  if (!BCRYPT_SUCCESS(BCryptCreateHash(alg_, &hash_, object_.data(), objLen, nullptr, 0, 0))) hash_ = nullptr;
}

void Sha256Stream::Close() {
  if (hash_) BCryptDestroyHash(hash_);
  if (alg_) BCryptCloseAlgorithmProvider(alg_, 0);
  hash_ = nullptr;
  alg_ = nullptr;
}

void Sha256Stream::Reset() {
  Close();
  Open();
}

void Sha256Stream::Update(const void* data, size_t n) {
  if (!ok()) return;
  // BCryptHashData takes a 32-bit length: larger pieces go in parts.
  const UCHAR* p = static_cast<const UCHAR*>(data);
  while (n > 0 && !failed_) {
    ULONG part = n > 0x40000000u ? 0x40000000u : static_cast<ULONG>(n);
    failed_ = !BCRYPT_SUCCESS(BCryptHashData(hash_, const_cast<PUCHAR>(p), part, 0));
    p += part;
    n -= part;
  }
}

bool Sha256Stream::UpdateFromFile(const std::wstring& path, std::uint64_t bytes) {
  std::uint64_t fed = 0;
  return FeedFile(path, bytes, &fed) && fed == bytes && ok();
}

// Through one 1 MiB buffer.
bool Sha256Stream::FeedFile(const std::wstring& path, std::uint64_t limit, std::uint64_t* fed) {
  *fed = 0;
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return false;
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kFileBlock]);
  size_t n = 0;
  while (buf && *fed < limit &&
         (n = std::fread(buf.get(), 1, limit - *fed < kFileBlock ? static_cast<size_t>(limit - *fed) : kFileBlock, f)) >
             0) {
    Update(buf.get(), n);
    *fed += n;
  }
  bool read = buf && !std::ferror(f);
  std::fclose(f);
  return read;
}

bool Sha256Stream::Finish(std::string* out) {
  if (!ok()) return false;
  UCHAR digest[32];
  if (!BCRYPT_SUCCESS(BCryptFinishHash(hash_, digest, sizeof digest, 0))) return false;
  failed_ = true;  // a finished hash takes no more data
  char hex[65];
  for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  out->assign(hex, 64);
  return true;
}

bool Sha256HexOfString(std::string_view data, std::string* out) {
  Sha256Stream h;
  h.Update(data.data(), data.size());
  return h.Finish(out);
}

bool Sha256HexOfFile(const std::wstring& path, std::string* out) {
  Sha256Stream h;
  std::uint64_t fed = 0;
  return h.ok() && h.FeedFile(path, UINT64_MAX, &fed) && h.Finish(out);
}
