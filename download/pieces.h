#pragma once
// Pieces of a file in transfer: when no file is left waiting, an idle mirror
// takes the far part of the largest file still coming, so that every mirror
// ends with the last byte. The first piece of a file is written to the file
// itself, which so always holds one unbroken run of bytes from its start (an
// older launcher resumes it from its length); every later piece goes to a
// file of its own beside it, named by its first byte, and is appended once
// every piece is there. The disk is the record: a later run finds the
// pieces by their names and takes up each one where it stopped.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/read_bounds.h"

// No piece is made smaller than this: every request costs a round trip, and
// a split costs its holder what was already on the way past the split point
// (up to a read block). Small enough that the mirrors' last pieces end
// within a quarter of a second of each other at 2 MiB/s.
inline constexpr std::uint64_t kMinPieceBytes = 524288;
// Split points fall on this grid (the block size of the smaller block maps).
inline constexpr std::uint64_t kPieceAlign = 65536;
// What the manifest may ask for, at most: the pool's own limits.
inline constexpr unsigned kMaxConnectionsPerMirror = 4;
inline constexpr unsigned kMaxTotalConnections = 12;

enum class PieceState { Free, Held, Done };

// Bytes [start, end) of a file; `have` of them, from `start` on, are on disk.
struct Piece {
  std::uint64_t start = 0, end = 0, have = 0;
  PieceState state = PieceState::Free;
  int holder = -1;  // the worker that holds it
  // Its holder has begun to fetch it. Until then the holder of a file's
  // first piece may still find the file whole on disk: a split then would
  // ask a mirror for bytes that are already there.
  bool streaming = false;
  // Where its holder's reader has got to and stops: a split lowers the end
  // there, so that no byte of the far part is asked of two mirrors.
  std::shared_ptr<ReadBounds> bounds = nullptr;
  std::uint64_t remaining() const { return end - start - have; }
};

// What the table of a file offers to a worker that took the file from a
// queue: a free piece to continue, or, when every piece is there, the first
// one, whose taker joins them. -1: nothing to take.
int ClaimablePiece(const std::vector<Piece>& pieces);
// The taker's part of a piece with `left` bytes to go, where the taker
// first fetches `cost` bytes over the same line (a block map) and `others`
// are what each other worker has left before it wants work (0: idle now).
// Those that end before the rest is done split the holder's part in turn,
// as long as no part falls under kMinPieceBytes: all end together, at equal
// rates. Never under half of an equal part.
std::uint64_t TakerShare(std::uint64_t left, std::uint64_t cost, std::vector<std::uint64_t> others);
// Where a held piece splits: the taker's share (TakerShare, halfway with no
// cost and no others) of what is left beyond the `ahead` bytes its holder
// has on their way already, on the grid. 0 when that is too small to split.
std::uint64_t SplitPoint(const Piece& p, std::uint64_t ahead = 0, std::uint64_t cost = 0,
                         const std::vector<std::uint64_t>& others = {});
// The bytes a piece's holder has on their way beyond what it has written:
// what its reader has read, and a read call still in progress.
std::uint64_t AheadOf(const Piece& p);
// What is left of a piece beyond those bytes.
std::uint64_t LeftOf(const Piece& p);
// Takes up to `got` bytes into the piece; returns how many fit before its end.
std::uint64_t GrantBytes(Piece& p, std::uint64_t got);
std::uint64_t HaveOf(const std::vector<Piece>& pieces);

// The pieces of a file of `size` bytes from what lies on disk: the file's
// own length and each piece file's first byte and length. A piece ends where
// the next begins; bytes beyond that are not counted. Pieces that start at
// or beyond the size, or twice at one byte, are left out.
struct PieceOnDisk {
  std::uint64_t start = 0, length = 0;
};
std::vector<Piece> PiecesFromDisk(std::uint64_t size, std::uint64_t fileLength, std::vector<PieceOnDisk> parts);

// "<name>.<start>.piece"; ParsePieceName gives the start back for a name of
// that form made for `name` (false otherwise).
std::wstring PieceName(const std::wstring& name, std::uint64_t start);
bool ParsePieceName(const std::wstring& pieceName, const std::wstring& name, std::uint64_t* start);

// Workers per mirror: the manifest's limits (0: none), within the pool's,
// dealt round the mirrors in turn. At least one worker in all.
std::vector<int> ConnectionPlan(int mirrors, std::uint32_t perMirror, std::uint32_t total);
