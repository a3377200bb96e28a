#pragma once
// SHA-256 on the processor's own SHA instructions (x86 SHA extensions), for
// the processors that have them: about ten times the speed of a plain
// implementation on one core. Whether they are there is asked of the
// processor (CPUID) at run time; without them the caller hashes another way.
#include <cstddef>
#include <cstdint>

struct Sha256X86 {
  std::uint32_t state[8];
  std::uint8_t pending[64];
  std::size_t pendingBytes;
  std::uint64_t totalBytes;
};

// True when this processor runs the SHA, SSSE3 and SSE4.1 instructions.
bool Sha256X86Available();
// The calls below only when Sha256X86Available().
void Sha256X86Init(Sha256X86* h);
void Sha256X86Update(Sha256X86* h, const void* data, std::size_t n);
// The 32-byte digest; `h` must be initialised again before further use.
void Sha256X86Finish(Sha256X86* h, std::uint8_t digest[32]);
