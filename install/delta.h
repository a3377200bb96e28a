#pragma once
// A patch archive built from its previous version and the blocks that
// changed: the mirror's block map says which blocks the new archive has;
// those found in the old archive are copied, the rest fetched with HTTP
// Range requests, and the result is checked against the manifest's SHA-256
// before anyone may use it. Without a usable map the caller fetches the
// file whole, as before.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "manifest/client_manifest.h"

enum class DeltaResult {
  kBuilt,      // the verified new archive is at `temp`
  kWhole,      // no map, a map for another file, a refused range, a mismatch...: fetch it whole
  kCancelled,  // the cancel flag was set; nothing is left at `temp`
  // The mirror did not answer for the map or a range (no connection, a
  // server error, a stall): another mirror may have both. What was built
  // stays at `temp`, the new archive's first bytes: the next build (on any
  // mirror), or a whole download resuming from them, takes it up there.
  kMirrorFailed,
};

struct DeltaRequest {
  HWND window = nullptr;  // status and progress target, may be null
  std::wstring local;     // the archive's previous version, only read
  std::wstring temp;      // where the new archive is built; what is there is its start
  std::string mapUrl, fileUrl;
  // The map's region index; empty: the map is always fetched whole.
  std::string regionUrl;
  ManifestFile entry;  // the size and SHA-256 the new archive must have
  std::atomic<bool>* cancel = nullptr;
  // Set when the job the build is part of ends for another reason (another
  // file failed for good): the build stops as on a cancel. May be null.
  const std::atomic<bool>* halt = nullptr;
  // The combined progress, as for DownloadFile: bytes of earlier archives
  // and the total (0: this archive's own percentage).
  std::uint64_t base = 0, overallTotal = 0;
  std::string percentFormat;  // GBK, one %d
  // GBK ("正在下载高清补丁..."); when given, the status line reads it with the
  // readout of the blocks to fetch (sizes, percentage, speed, time left).
  std::string label;
  // Every byte taken off the network, added as it arrives (the speed of a
  // readout); null: not counted.
  std::atomic<std::uint64_t>* received = nullptr;
  // When set, told the archive's progress in bytes of its size instead of
  // posting percentages and texts to `window`: a job that builds several
  // archives at once shows one readout for all of them.
  std::function<void(std::uint64_t)> onProgress;
  // A request that receives nothing for this long fails.
  DWORD stallMs = 120000;
};

DeltaResult BuildArchiveFromDelta(const DeltaRequest& request);

// Ranges of missing blocks closer than this are fetched as one.
inline constexpr std::uint64_t kDeltaMergeGap = 16384;
