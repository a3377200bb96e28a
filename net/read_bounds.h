#pragma once
// Where a reader stops, moved by another thread while it reads: the holder
// of a split piece must not ask its mirror for bytes that an idle mirror has
// just taken over. Both are offsets in the file the body continues: the
// reader moves `at` on as bytes come off the network and asks for none at or
// beyond `end`; whoever splits the piece reads `at` to split beyond it and
// then lowers `end`.
#include <atomic>
#include <cstdint>

struct ReadBounds {
  std::atomic<std::uint64_t> end{UINT64_MAX};
  std::atomic<std::uint64_t> at{0};
};

// The most one read call asks for: the bytes a reader may have on their way
// beyond `at` when `end` is lowered.
inline constexpr std::uint64_t kReadCallBytes = 65536;
