#pragma once
// A SHA-256 fed piece by piece, so that a file is hashed while its bytes
// arrive instead of read back from disk afterwards. On the processor's SHA
// instructions where it has them (about ten times CNG's speed under Wine,
// which hashes in plain code), otherwise through one CNG hash object.
#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hash/sha256_x86.h"

// For the tests and the benchmark: streams made after this call hash through
// CNG even where the processor's own SHA-256 would be used.
void Sha256UsePlatformOnly(bool only);

class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;

  // False when the hash object could not be made or a step failed; the
  // digest is then not to be trusted.
  bool ok() const { return (onX86_ || hash_ != nullptr) && !failed_; }
  void Update(const void* data, size_t n);
  // Feeds the first `bytes` bytes of a file (the part of a resumed file that
  // is already on disk); false when they cannot all be read.
  bool UpdateFromFile(const std::wstring& path, std::uint64_t bytes);
  // Feeds the file's bytes, at most `limit`; `fed` gets how many. False when
  // the file cannot be opened or read.
  bool FeedFile(const std::wstring& path, std::uint64_t limit, std::uint64_t* fed);
  // Starts again, as for a file that is written from its first byte anew.
  void Reset();
  // 64 lowercase hex digits; false when !ok(). The stream is used up.
  bool Finish(std::string* out);

 private:
  void Open();
  void Close();
  BCRYPT_ALG_HANDLE alg_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
  std::vector<UCHAR> object_;
  bool failed_ = false;
  bool onX86_ = false;
  Sha256X86 x86_;
};
