#include "install/delta.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/log.h"
#include "app/messages.h"
#include "app/readout.h"
#include "manifest/block_match.h"
#include "manifest/block_regions.h"
#include "manifest/blockmap.h"
#include "manifest/install_paths.h"
#include "hash/sha256.h"
#include "hash/sha256_pipe.h"
#include "net/download.h"
#include "net/http.h"
#include "net/reader.h"
#include "net/text.h"
#include "net/url.h"

namespace {

constexpr DWORD kReadBlock = 65536;
constexpr std::size_t kChunk = 1 << 20;
constexpr int kRangeAttempts = 3;

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<FILE, FileCloser>;

// A closed window counts as a cancel, as in a download; a halted job ends
// the build as a cancel does.
bool Stopped(const DeltaRequest& r) {
  if (r.window && !IsWindow(r.window)) r.cancel->store(true);
  return r.cancel->load() || (r.halt && r.halt->load());
}

// The archive's share of the bar is the fetch's: the bytes that come off the
// network, as the readout in the status line counts them (sizes, percentage
// and speed). A caller that sums several files (onProgress) is given the
// scan of the local file and then the bytes to fetch; until the scan has said
// how many those are, the whole file is assumed, so its sum only ever moves
// forward.
class Progress {
 public:
  Progress(const DeltaRequest& r, std::uint64_t localSize) : r_(r), localSize_(localSize), fetchTotal_(r.entry.size) {}
  // A scan after a first pass that was given up starts from the pass's end.
  void Scanned(std::uint64_t n) {
    scanned_ = std::max(scanned_, n);
    Post(false);
  }
  void ScanDone(std::uint64_t fetchTotal) {
    scanned_ = localSize_;
    scanDone_ = true;
    fetchTotal_ = fetchTotal;
    started_ = GetTickCount64();  // the meter's clock starts with the fetch
    meter_.Sample(0, 0);
    Post(true);
  }
  void Fetched(std::uint64_t n) {
    fetched_ += n;
    meter_.Sample(GetTickCount64() - started_, fetched_);
    Post(true);
  }

 private:
  void Post(bool withText) {
    const std::uint64_t size = r_.entry.size;
    if (r_.onProgress) {
      const double units = static_cast<double>(localSize_ + fetchTotal_);
      r_.onProgress(units > 0 ? static_cast<std::uint64_t>(static_cast<double>(size) * (scanned_ + fetched_) / units)
                              : 0);
      return;
    }
    if (!r_.window) return;
    const int percent = BarPercent();
    if (percent != lastPercent_) PostMessageA(r_.window, WMU_PROGRESS, static_cast<WPARAM>(percent), 0);
    if (withText && !r_.label.empty() && fetchTotal_ > 0) {
      const ULONGLONG now = GetTickCount64();
      if (lastText_ == 0 || now - lastText_ >= 300 || fetched_ == fetchTotal_) {
        lastText_ = now;
        const ReadoutFigures figures{fetched_, fetchTotal_, meter_.BytesPerSecond(), meter_.Steady()};
        PostStatusText(r_.window, (r_.label + " " + GbkFromUtf8(ReadoutText(u8"", figures))).c_str());
      }
      withText = false;  // the percentage's own text is not wanted
    }
    if (withText && (percent != lastPercent_ || !lastWithText_)) {
      char text[128];
      std::snprintf(text, sizeof text, r_.percentFormat.c_str(), percent);
      PostStatusText(r_.window, text);
    }
    lastPercent_ = percent;
    lastWithText_ = withText;
  }

  // The bar and the readout beside it show one percentage. While the local
  // file is scanned nothing has come yet and the bar stays where the archive
  // starts; then it follows the fetch, as the readout does. (Counting the
  // scan in showed a bar near its end beside a readout at two thirds: the
  // scan of a large archive is most of the bytes and little of the time.)
  int BarPercent() const {
    const std::uint64_t size = r_.entry.size;
    const int fetch = scanDone_ ? (fetchTotal_ > 0 ? ReadoutPercent(fetched_, fetchTotal_) : 100) : 0;
    if (r_.overallTotal == 0) return fetch;
    const std::uint64_t done = size * static_cast<std::uint64_t>(fetch) / 100;
    return r_.base + done >= r_.overallTotal && fetch == 100 ? 100 : CombinedPercent(r_.base, done, r_.overallTotal);
  }

  const DeltaRequest& r_;
  std::uint64_t localSize_, fetchTotal_, scanned_ = 0, fetched_ = 0;
  int lastPercent_ = -1;
  bool lastWithText_ = false;
  bool scanDone_ = false;
  SpeedMeter meter_;
  ULONGLONG started_ = 0, lastText_ = 0;
};

// `url` whole (or the range `range` of it, exactly), at most `limit` bytes.
// kBuilt when it came; otherwise what its failure means for the file.
DeltaResult FetchSmall(const DeltaRequest& r, const std::string& url, const char* range, std::uint64_t limit,
                       std::string* body) {
  OpenedUrl opened;
  if (!OpenUrl(url, range, {60000, 60000, ReceiveTimeoutFor(r.stallMs)}, &opened)) {
    LogWrite("Delta map open failed: %s err=%lu", url.c_str(), static_cast<unsigned long>(opened.error));
    return DeltaResult::kMirrorFailed;
  }
  const DWORD status = QueryStatusCode(opened.request.get());
  if (status != (range ? 206u : 200u)) {
    LogWrite("Delta map HTTP %lu: %s", static_cast<unsigned long>(status), url.c_str());
    if (status == 200) return DeltaResult::kWhole;  // ranges ignored
    return JudgeBlockRequest(status) == BlockRequestEnd::MirrorFault ? DeltaResult::kMirrorFailed : DeltaResult::kWhole;
  }
  CancellableReader reader(std::move(opened), kReadBlock, r.stallMs, r.received);
  for (;;) {
    const char* data = nullptr;
    DWORD got = 0;
    const ReadStatus rs = reader.Read(&data, &got, r.cancel);
    if (rs == ReadStatus::kEnd) return DeltaResult::kBuilt;
    if (rs == ReadStatus::kCancelled) return DeltaResult::kCancelled;
    if (rs != ReadStatus::kData) return DeltaResult::kMirrorFailed;
    if (body->size() + got > limit) {
      LogWrite("Delta map too long: %s", url.c_str());
      return DeltaResult::kWhole;
    }
    body->append(data, got);
  }
}

// The map, at most as large as a map for this file can be.
DeltaResult FetchMap(const DeltaRequest& r, std::string* body) {
  return FetchSmall(r, r.mapUrl, nullptr, LargestBlockMapSize(r.entry.size), body);
}

// The map entries of the local copy, which has the new file's size, and the
// digest of each region of them.
bool LocalEntries(const DeltaRequest& r, const RegionIndex& index, std::string* entries,
                  std::vector<std::string>* digests, Progress* progress) {
  File f(_wfopen(r.local.c_str(), L"rb"));
  if (!f) return false;
  std::vector<unsigned char> buf(index.blockSize);
  entries->reserve(std::size_t{index.blockCount} * kBlockMapEntry);
  for (std::uint32_t region = 0; region < index.regionCount; ++region) {
    if (Stopped(r)) return false;
    const std::size_t start = entries->size();
    for (std::uint32_t b = 0; b < index.BlocksIn(region); ++b) {
      const std::size_t n = std::fread(buf.data(), 1, buf.size(), f.get());
      if (n == 0) return false;
      *entries += BlockEntryOf(buf.data(), n, index.blockSize);
    }
    progress->Scanned(
        std::min<std::uint64_t>(index.fileSize, std::uint64_t{index.FirstBlock(region + 1)} * index.blockSize));
    digests->push_back(RegionDigestOf(std::string_view(*entries).substr(start)));
  }
  return !std::ferror(f.get()) && entries->size() == std::size_t{index.blockCount} * kBlockMapEntry;
}

// The map made of the local copy's own entries and, for the regions where
// they differ from the index, the mirror's, fetched by ranges. kBuilt with
// the map in `map` and the local entries in `entries`; anything else: the
// whole map is fetched instead.
DeltaResult MapFromRegions(const DeltaRequest& r, Progress* progress, std::string* map, std::string* localEntries) {
  std::string bytes;
  const std::uint64_t limit = kRegionIndexHeader + (std::uint64_t{kMaxMapBlocks} / 16 + 2) * kRegionDigest;
  if (const DeltaResult got = FetchSmall(r, r.regionUrl, nullptr, limit, &bytes); got != DeltaResult::kBuilt)
    return got;
  RegionIndex index;
  if (!ParseRegionIndex(bytes, &index) || index.fileSize != r.entry.size ||
      !DigestEquals(index.sha256, r.entry.sha256)) {
    LogWrite("Delta region index unreadable or for another file: %s", r.regionUrl.c_str());
    return DeltaResult::kWhole;
  }
  std::string entries;
  std::vector<std::string> local;
  if (!LocalEntries(r, index, &entries, &local, progress))
    return Stopped(r) ? DeltaResult::kCancelled : DeltaResult::kWhole;
  bool worth = false;
  const std::vector<std::uint32_t> differ = RegionsToFetch(index, local, &worth);
  if (!worth) {
    LogWrite("Delta regions: too many differ in %s", r.fileUrl.c_str());
    return DeltaResult::kWhole;
  }
  std::uint64_t fetched = 0;
  std::string merged = entries;  // the local entries, with the mirror's where they differ
  for (std::size_t i = 0; i < differ.size();) {
    // Neighbouring regions in one request.
    std::size_t j = i;
    while (j + 1 < differ.size() && differ[j + 1] == differ[j] + 1) ++j;
    std::uint64_t offset = 0, length = 0;
    RegionEntryRange(index, differ[i], differ[j], &offset, &length);
    char range[96];
    std::snprintf(range, sizeof range, "Range: bytes=%llu-%llu", static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(offset + length - 1));
    std::string slice;
    if (const DeltaResult got = FetchSmall(r, r.mapUrl, range, length, &slice); got != DeltaResult::kBuilt) return got;
    if (slice.size() != length) return DeltaResult::kWhole;
    for (std::size_t k = i; k <= j; ++k) {
      const std::uint32_t region = differ[k];
      const std::size_t at =
          static_cast<std::size_t>(index.FirstBlock(region) - index.FirstBlock(differ[i])) * kBlockMapEntry;
      const std::string_view part = std::string_view(slice).substr(at, index.BlocksIn(region) * kBlockMapEntry);
      if (RegionDigestOf(part) != index.digests[region]) {
        LogWrite("Delta region %u of %s does not match its index", region, r.mapUrl.c_str());
        return DeltaResult::kWhole;
      }
      merged.replace(std::size_t{index.FirstBlock(region)} * kBlockMapEntry, part.size(), part);
    }
    fetched += length;
    i = j + 1;
  }
  LogWrite("Delta regions %s: %zu of %u differ, %llu bytes of the map fetched", r.mapUrl.c_str(), differ.size(),
           index.regionCount, static_cast<unsigned long long>(fetched));
  if (!BlockMapOfEntries(index.fileSize, index.blockSize, index.sha256, merged, map)) return DeltaResult::kWhole;
  *localEntries = std::move(entries);
  return DeltaResult::kBuilt;
}

bool ScanLocal(const DeltaRequest& r, BlockScanner* scanner, Progress* progress) {
  File f(_wfopen(r.local.c_str(), L"rb"));
  if (!f) return false;
  std::vector<unsigned char> buf(kChunk);
  std::uint64_t done = 0;
  for (;;) {
    if (Stopped(r)) return false;
    const std::size_t n = std::fread(buf.data(), 1, buf.size(), f.get());
    if (n == 0) break;
    scanner->Feed(buf.data(), n);
    done += n;
    progress->Scanned(done);
  }
  if (std::ferror(f.get())) return false;
  scanner->Finish();
  return true;
}

// The new file's SHA-256, taken on another core while the next blocks are
// copied and fetched, and where the build's time goes (the log's figures,
// which the benchmark reads).
struct Hasher {
  Sha256Pipe pipe;
  LONGLONG copying = 0, fetching = 0;
};

bool CopyLocal(const DeltaRequest& r, FILE* local, FILE* out, const DeltaStep& s, Sha256Pipe* digest) {
  if (_fseeki64(local, static_cast<__int64>(s.from), SEEK_SET) != 0) return false;
  for (std::uint64_t left = s.length; left > 0;) {
    if (Stopped(r)) return false;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, Sha256Pipe::kSlotBytes));
    unsigned char* buf = digest->Slot();
    if (std::fread(buf, 1, n, local) != n || std::fwrite(buf, 1, n, out) != n) return false;
    digest->Submit(n);
    left -= n;
  }
  return true;
}

// kFailed: the mirror answered for good (a refused range, a longer body, a
// write error); kBroken: it did not answer, or broke off, on every attempt.
enum class Fetched { kOk, kFailed, kBroken, kNotRanged, kCancelled };

// One run of missing blocks, with up to three attempts that each ask for
// what is still missing.
Fetched FetchRange(const DeltaRequest& r, const DeltaStep& s, FILE* out, Sha256Pipe* digest, Progress* progress) {
  std::uint64_t at = s.to;
  const std::uint64_t end = s.to + s.length;
  for (int attempt = 0; attempt < kRangeAttempts && at < end; ++attempt) {
    if (Stopped(r) || (attempt > 0 && !WaitBeforeRetry(r.cancel))) return Fetched::kCancelled;
    char range[96];
    std::snprintf(range, sizeof range, "Range: bytes=%llu-%llu", static_cast<unsigned long long>(at),
                  static_cast<unsigned long long>(end - 1));
    OpenedUrl opened;
    if (!OpenUrl(r.fileUrl, range, {60000, 60000, ReceiveTimeoutFor(r.stallMs)}, &opened)) continue;
    const DWORD status = QueryStatusCode(opened.request.get());
    // The whole file in answer to a range: closing the request here keeps
    // the mirror from sending all of it.
    if (status == 200) {
      LogWrite("Delta ranges ignored: %s", r.fileUrl.c_str());
      return Fetched::kNotRanged;
    }
    if (status != 206) {
      LogWrite("Delta range HTTP %lu: %s", static_cast<unsigned long>(status), r.fileUrl.c_str());
      if (JudgeBlockRequest(status) == BlockRequestEnd::Whole) return Fetched::kFailed;
      continue;
    }
    if (!PartStartsAt(opened.request.get(), at, r.fileUrl)) continue;
    CancellableReader reader(std::move(opened), kReadBlock, r.stallMs, r.received);
    for (;;) {
      const char* data = nullptr;
      DWORD got = 0;
      const ReadStatus rs = reader.Read(&data, &got, r.cancel);
      if (rs == ReadStatus::kCancelled) return Fetched::kCancelled;
      if (rs != ReadStatus::kData) break;  // the end, or a break the next attempt resumes
      if (got > end - at) {
        LogWrite("Delta range longer than asked: %s", r.fileUrl.c_str());
        return Fetched::kFailed;
      }
      if (std::fwrite(data, 1, got, out) != got) return Fetched::kFailed;
      digest->Update(data, got);
      at += got;
      progress->Fetched(got);
    }
  }
  return at == end ? Fetched::kOk : (Stopped(r) ? Fetched::kCancelled : Fetched::kBroken);
}

// The first `have` bytes at the new file's place into the digest, leaving
// the file positioned after them for the next write.
bool HashKept(const DeltaRequest& r, FILE* out, std::uint64_t have, Sha256Pipe* digest) {
  for (std::uint64_t left = have; left > 0;) {
    if (Stopped(r)) return false;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, Sha256Pipe::kSlotBytes));
    unsigned char* buf = digest->Slot();
    if (std::fread(buf, 1, n, out) != n) return false;
    digest->Submit(n);
    left -= n;
  }
  return _fseeki64(out, static_cast<__int64>(have), SEEK_SET) == 0;
}

// The bytes of the fetch steps below `have`: an earlier attempt's, not to
// be fetched again.
std::uint64_t FetchedBelow(const std::vector<DeltaStep>& steps, std::uint64_t have) {
  std::uint64_t n = 0;
  for (const DeltaStep& s : steps)
    if (s.fetch && s.to < have) n += std::min(s.length, have - s.to);
  return n;
}

// Writes the new file from `steps`, taking up after its first `have` bytes,
// which an earlier attempt built (any plan builds the same bytes in the same
// order, and the whole is checked against the manifest's SHA-256 at the end).
DeltaResult BuildFromSteps(const DeltaRequest& r, const std::vector<DeltaStep>& steps, std::uint64_t have,
                           Progress* progress, Hasher& digest) {
  File local(_wfopen(r.local.c_str(), L"rb")), out(_wfopen(r.temp.c_str(), have > 0 ? L"rb+" : L"wb"));
  if (!local || !out) return DeltaResult::kWhole;
  if (have > 0 && !HashKept(r, out.get(), have, &digest.pipe))
    return Stopped(r) ? DeltaResult::kCancelled : DeltaResult::kWhole;
  for (DeltaStep s : steps) {
    if (s.to + s.length <= have) continue;
    if (s.to < have) {
      const std::uint64_t kept = have - s.to;
      s.from += s.fetch ? 0 : kept;
      s.to += kept;
      s.length -= kept;
    }
    const LONGLONG start = PerfTicks();
    if (s.fetch) {
      const Fetched f = FetchRange(r, s, out.get(), &digest.pipe, progress);
      digest.fetching += PerfTicks() - start;
      if (f == Fetched::kCancelled) return DeltaResult::kCancelled;
      if (f == Fetched::kBroken) return DeltaResult::kMirrorFailed;
      if (f != Fetched::kOk) return DeltaResult::kWhole;
    } else {
      const bool copied = CopyLocal(r, local.get(), out.get(), s, &digest.pipe);
      digest.copying += PerfTicks() - start;
      if (!copied) return Stopped(r) ? DeltaResult::kCancelled : DeltaResult::kWhole;
    }
  }
  if (std::fclose(out.release()) != 0) return DeltaResult::kWhole;
  std::string actual;
  if (!digest.pipe.Finish(&actual) || !DigestEquals(actual, r.entry.sha256)) {
    LogWrite("Delta hash mismatch %s expected %s got %s", r.fileUrl.c_str(), r.entry.sha256.c_str(), actual.c_str());
    return DeltaResult::kWhole;
  }
  return DeltaResult::kBuilt;
}

DeltaResult Run(const DeltaRequest& r) {
  std::uint64_t localSize = 0;
  if (!FileSizeOf(r.local, &localSize)) return DeltaResult::kWhole;
  const LONGLONG start = PerfTicks();
  std::string bytes;
  // A copy of the new file's size, damaged in a few places, needs only a
  // few regions of the map. Anything amiss there costs only the whole map.
  Progress progress(r, localSize);
  std::string localEntries;
  if (!r.regionUrl.empty() && localSize == r.entry.size) {
    PostStatusText(r.window, Gbk(u8"正在比对本地补丁...").c_str());
    const DeltaResult got = MapFromRegions(r, &progress, &bytes, &localEntries);
    if (got == DeltaResult::kCancelled || Stopped(r)) return DeltaResult::kCancelled;
    if (got != DeltaResult::kBuilt) {
      bytes.clear();
      localEntries.clear();
    }
  }
  if (bytes.empty())
    if (const DeltaResult got = FetchMap(r, &bytes); got != DeltaResult::kBuilt)
      return Stopped(r) ? DeltaResult::kCancelled : got;
  BlockMap map;
  if (!ParseBlockMap(std::move(bytes), &map)) {
    LogWrite("Delta map unreadable: %s", r.mapUrl.c_str());
    return DeltaResult::kWhole;
  }
  if (map.fileSize != r.entry.size || !DigestEquals(map.sha256, r.entry.sha256)) {
    LogWrite("Delta map is for another file: %s", r.mapUrl.c_str());
    return DeltaResult::kWhole;
  }
  const std::uint64_t mapBytes = map.bytes.size();
  const LONGLONG mapped = PerfTicks();
  std::vector<DeltaStep> steps;
  std::size_t tableBytes = 0;
  if (!localEntries.empty()) {
    // Its own entries tell which blocks are in place: no second read.
    steps = PlanDelta(map, BlocksInPlace(map, localEntries), kDeltaMergeGap);
  } else {
    PostStatusText(r.window, Gbk(u8"正在比对本地补丁...").c_str());
    BlockScanner scanner(map);
    if (!ScanLocal(r, &scanner, &progress)) return Stopped(r) ? DeltaResult::kCancelled : DeltaResult::kWhole;
    steps = PlanDelta(map, scanner.matches(), kDeltaMergeGap);
    tableBytes = scanner.TableBytes();
  }
  map = BlockMap();  // the lookup and the map are done with
  const std::uint64_t toFetch = BytesToFetch(steps);
  std::size_t ranges = 0;
  for (const DeltaStep& s : steps) ranges += s.fetch;
  const LONGLONG planned = PerfTicks();
  LogWrite(
      "Delta plan %s: fetch %llu of %llu bytes in %zu ranges, map %llu bytes, table %zu bytes, %lu ms (map %lu ms, "
      "scan %lu ms)",
      r.fileUrl.c_str(), static_cast<unsigned long long>(toFetch), static_cast<unsigned long long>(r.entry.size),
      ranges, static_cast<unsigned long long>(mapBytes), tableBytes, PerfMs(planned - start), PerfMs(mapped - start),
      PerfMs(planned - mapped));
  // What an attempt on this or another mirror built before it broke off
  // stays at the new file's place: the new file's first bytes.
  std::uint64_t have = 0;
  if (!FileSizeOf(r.temp, &have) || have > r.entry.size) have = 0;
  if (have > 0) LogWrite("Delta resumes %s at byte %llu", r.fileUrl.c_str(), static_cast<unsigned long long>(have));
  progress.ScanDone(toFetch - FetchedBelow(steps, have));
  Hasher digest;
  const DeltaResult result = BuildFromSteps(r, steps, have, &progress, digest);
  if (result == DeltaResult::kBuilt)
    LogWrite("Delta built %s in %lu ms (copying %lu ms, fetching %lu ms; hashing %lu ms alongside, waited for %lu ms)",
             r.fileUrl.c_str(), PerfMs(PerfTicks() - start), PerfMs(digest.copying), PerfMs(digest.fetching),
             digest.pipe.HashingMs(), digest.pipe.WaitingMs());
  return result;
}

}  // namespace

DeltaResult BuildArchiveFromDelta(const DeltaRequest& request) {
  const DeltaResult result = Run(request);
  if (result != DeltaResult::kBuilt && result != DeltaResult::kMirrorFailed) DeleteFileW(request.temp.c_str());
  return result;
}
