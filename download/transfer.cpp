#include <windows.h>

#include <io.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "app/log.h"
#include "app/messages.h"
#include "download/job.h"
#include "download/save_folder.h"
#include "manifest/blockmap.h"
#include "manifest/install_paths.h"
#include "hash/sha256.h"
#include "hash/sha256_stream.h"
#include "net/http.h"
#include "net/reader.h"
#include "net/text.h"

namespace {

// The system's error of the C runtime's last failed write: the runtime keeps
// it in _doserrno (a full disk is ERROR_DISK_FULL there, only ENOSPC in errno).
unsigned long LastWriteError() {
  unsigned long error = static_cast<unsigned long>(_doserrno);
  return error != 0 ? error : GetLastError();
}

constexpr std::uint64_t kSlowMinBytes = 2097152;
constexpr std::uint64_t kSlowMinMs = 8000;
constexpr double kSlowRate = 262144.0;
constexpr std::uint64_t kHashNoticeBytes = 67108864;
constexpr int kBusyRetries = 3;
constexpr int kBusyWaitMs = 200;

// The reader's block, a sixteenth of what is still to come, from 64 KiB to
// 1 MiB. Under Wine a read returns only when its block is full or the body
// has ended: with 1 MiB blocks a small file was written and hashed only
// after its last byte, in the time between two requests (about 2 ms for a
// file of 200 KB), while 64 KiB blocks made a large file slower (one 1 GiB
// file from an unthrottled mirror: 17 to 20 s against 11 to 15 s in 1 MiB
// blocks, on a loaded machine).
DWORD BlockFor(std::uint64_t bytesToCome) {
  constexpr std::uint64_t kMin = 65536, kMax = 1048576;
  std::uint64_t block = bytesToCome / 16;
  return static_cast<DWORD>(block < kMin ? kMin : block > kMax ? kMax : block);
}

// Takes the file's entry into the job's resume state; the controller writes
// the state out (SaveChangedProgress). A file is recorded before it is
// counted, so no count the window shows runs ahead of the file.
void RecordProgress(DownloadJob& job, const ManifestFile& f, std::uint64_t downloaded, bool complete) {
  std::lock_guard<std::mutex> lock(job.progressLock);
  FileProgress& e = job.progress.files[f.path];
  e.size = f.size;
  e.sha256 = f.sha256;
  e.downloaded_bytes = downloaded;
  e.complete = complete;
  job.progressChanged = true;
}

// The size of the file, 0 when there is none.
std::uint64_t LocalSize(const std::wstring& path) {
  std::uint64_t size = 0;
  FileSizeOf(path, &size);
  return size;
}

void SetAnswer(AttemptAnswer* answer, AttemptFailure failure, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 3, 4)))
#endif
    ;
void SetAnswer(AttemptAnswer* answer, AttemptFailure failure, const char* format, ...) {
  char text[96];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  answer->failure = failure;
  answer->text = text;
}

// The file's block map, when a worker has found it on its mirror.
std::shared_ptr<const BlockMap> MapOf(DownloadJob& job, int file) {
  std::lock_guard<std::mutex> lock(job.mapLock);
  return static_cast<size_t>(file) < job.maps.size() ? job.maps[file] : nullptr;
}

// A piece from `mirror` differs from the file's map: true when that counts
// against the mirror, false when the map is set aside instead (or was,
// while the piece came).
bool MapRefuses(DownloadJob& job, int file, int mirror) {
  {
    std::lock_guard<std::mutex> lock(job.mapLock);
    if (!job.maps[file]) return false;
    int& first = job.mapRefusedBy[file];
    if (first < 0 || first == mirror) {
      first = mirror;
      return true;
    }
    job.maps[file] = nullptr;
  }
  LogWrite("Download block map set aside, pieces from two mirrors differ from it: %s", job.files[file].path.c_str());
  return false;
}

// Asks `mirror` for the block map of a file just split, unless a worker has
// asked for it already. A map that does not describe the manifest's file is
// not used: the pieces then wait for the joined file's SHA-256 alone. Nor
// is it asked for a piece less than 32 times its size (about a tenth of the
// file): the map's bytes come over the same limited line as the piece's.
void FetchMapOf(DownloadJob& job, int file, int mirror, std::uint64_t pieceBytes) {
  const ManifestFile& f = job.files[file];
  if (!job.manifest || f.size < kBlockMapMinFileSize) return;
  if (BlockMapSizeFor(f.size) * 32 > pieceBytes) return;
  {
    std::lock_guard<std::mutex> lock(job.mapLock);
    if (static_cast<size_t>(file) >= job.mapAsked.size() || job.mapAsked[file]) return;
    job.mapAsked[file] = true;
  }
  job.pool->SetSplitCost(file, 0);
  const std::string url = BuildBlockMapUrl(job.mirrors[mirror], job.manifest->product, f.path);
  const std::uint64_t limit = LargestBlockMapSize(f.size);
  std::string body;
  const SmallFetchResult got =
      FetchSmallDocument(url, {60000, 60000, ReceiveTimeoutFor(job.stallMs)}, static_cast<size_t>(limit), &body);
  auto map = std::make_shared<BlockMap>();
  if (!got.ok()) {
    LogWrite("Download block map not fetched (HTTP %lu): %s", static_cast<unsigned long>(got.status), url.c_str());
    return;
  }
  if (!ParseBlockMap(std::move(body), map.get()) || map->fileSize != f.size || !DigestEquals(map->sha256, f.sha256)) {
    LogWrite("Download block map is not the manifest's file: %s", url.c_str());
    return;
  }
  std::lock_guard<std::mutex> lock(job.mapLock);
  job.maps[file] = std::move(map);
}

}  // namespace

void CountComplete(DownloadJob& job, const ManifestFile& f) {
  job.counters.completedBytes.fetch_add(f.size);
  job.counters.completedFiles.fetch_add(1);
}

void RaiseInFlight(ProgressCounters& c, int file, std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(c.mutex);
  if (file < 0 || static_cast<size_t>(file) >= c.slots.size() || bytes <= c.slots[file]) return;
  c.inFlightBytes.fetch_add(bytes - c.slots[file]);
  c.slots[file] = bytes;
}

void SetInFlight(ProgressCounters& c, int file, std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(c.mutex);
  std::uint64_t old = 0;
  if (file >= 0 && static_cast<size_t>(file) < c.slots.size()) {
    old = c.slots[file];
    c.slots[file] = bytes;
  }
  std::uint64_t cur = c.inFlightBytes.load();
  while (!c.inFlightBytes.compare_exchange_weak(cur, cur + (bytes - old))) {
  }
}

// Rewriting the whole file after every file was quadratic work on the
// workers' path (4 to 7 ms for each small file of a client of 600). A job
// killed between two saves loses nothing it depends on: a complete file
// that is not recorded yet is found by its size and hash on disk by the next
// run (FileJob), and a partial one is resumed from its length on disk.
void SaveChangedProgress(DownloadJob& job) {
  if (job.progressPath.empty()) return;
  std::string text;
  {
    std::lock_guard<std::mutex> lock(job.progressLock);
    if (!job.progressChanged) return;
    job.progressChanged = false;
    text = FormatProgressText(job.progress, WideToUtf8(job.progress.install_dir));
  }
  if (WriteProgressText(job.progressPath, text)) return;
  std::lock_guard<std::mutex> lock(job.progressLock);
  job.progressChanged = true;  // tried again on the next pass
}

void SetFatalError(DownloadJob& job, const std::string& text) {
  std::lock_guard<std::mutex> lock(job.errorLock);
  if (job.jobError.empty()) job.jobError = text;
  job.flags.fatal.store(true);
}

TransferOutcome TransferFile(DownloadJob& job, const std::string& url, const std::wstring& localPath,
                             std::uint64_t expectedSize, const std::string& expectedSha256, int fileIndex,
                             AttemptAnswer* answer, const Work* work) {
  HWND window = job.window;
  if (job.flags.Cancelled() || (window && !IsWindow(window))) return TransferOutcome::Cancelled;
  // A piece: bytes [start, end) of the file into `localPath`, its end
  // moved closer by an idle worker's split at any time. The readout counts
  // the file's bytes in all its pieces, which only grow while they come.
  const bool piece = work && work->pieces;
  const std::uint64_t start = piece ? work->start : 0;
  auto pieceLength = [&] { return piece ? job.pool->PieceEnd(fileIndex, start) - start : expectedSize; };
  auto report = [&](std::uint64_t bytes) {
    if (!piece) SetInFlight(job.counters, fileIndex, bytes);
  };
  std::uint64_t localSize = LocalSize(localPath);
  if (localSize > expectedSize - start) {
    DeleteFileW(localPath.c_str());
    localSize = 0;
  }
  if (piece) {
    const std::uint64_t length = pieceLength();
    if (localSize > length) localSize = length;  // past a split point: the next piece's bytes come again
    SetInFlight(job.counters, fileIndex, job.pool->SetPieceHave(fileIndex, start, localSize));
    // An empty file has nothing to wait for, but must still be made: it is
    // fetched as any other.
    if (localSize == length && length > 0) return TransferOutcome::Done;
  }
  const bool ranged = job.manifest->range_supported && start + localSize > 0;
  char range[64] = {};
  if (piece && start + pieceLength() < expectedSize)
    std::snprintf(range, sizeof range, "Range: bytes=%llu-%llu", static_cast<unsigned long long>(start + localSize),
                  static_cast<unsigned long long>(start + pieceLength() - 1));
  else if (ranged)
    std::snprintf(range, sizeof range, "Range: bytes=%llu-", static_cast<unsigned long long>(start + localSize));

  // The file is hashed as it is written, so that the verdict needs no second
  // pass over it. A resumed file's bytes on disk go in first, before the
  // request is sent: once the answer is on its way nothing may keep it
  // waiting, or a mirror that drops silent connections (nginx's
  // send_timeout) cuts every resumed attempt short while a long prefix is
  // read back. Should the hash object fail, the finished file is hashed from
  // disk instead.
  Sha256Stream digest;
  const bool prefixHashed = ranged && start == 0 && digest.ok() && digest.UpdateFromFile(localPath, localSize);
  if (job.flags.Cancelled()) return TransferOutcome::Cancelled;

  OpenedUrl opened;
  DWORD status = 0;
  for (int busy = 0;; ++busy) {
    if (!OpenUrl(url, ranged ? range : nullptr, {60000, 60000, ReceiveTimeoutFor(job.stallMs)}, &opened)) {
      SetAnswer(answer, AttemptFailure::Other, "no connection (error %lu)", static_cast<unsigned long>(opened.error));
      if (!opened.session) return TransferOutcome::Failed;
      if (!answer->quiet)
        LogWrite("Download open failed: %s err=%lu", url.c_str(), static_cast<unsigned long>(opened.error));
      return TransferOutcome::Failed;
    }
    status = QueryStatusCode(opened.request.get());
    // A mirror that allows a player one connection answers 503 while it has
    // not yet seen the close of the connection this worker just left (a
    // piece that ended before its body): asked again a moment later, it
    // serves. A mirror that stays busy fails the attempt as any other status.
    if (status != 503 || busy == kBusyRetries) break;
    opened.Close();
    if (!answer->quiet) LogWrite("Download HTTP 503, asked again: %s", url.c_str());
    for (int waited = 0; waited < kBusyWaitMs; waited += 50) {
      if (job.flags.Cancelled()) return TransferOutcome::Cancelled;
      Sleep(50);
    }
  }
  bool append = false;
  if (status == 404) {
    SetAnswer(answer, AttemptFailure::Missing, "HTTP 404");
    if (!answer->quiet) LogWrite("Download 404: %s", url.c_str());
    return TransferOutcome::NotFound;
  } else if (status == 200 && start > 0) {
    SetAnswer(answer, AttemptFailure::Other, "HTTP 200 to a range");
    if (!answer->quiet) LogWrite("Download HTTP %lu: %s", static_cast<unsigned long>(status), url.c_str());
    return TransferOutcome::Failed;
  } else if (status == 200) {
    if (localSize > 0) {
      DeleteFileW(localPath.c_str());
      localSize = 0;
      if (piece) SetInFlight(job.counters, fileIndex, job.pool->SetPieceHave(fileIndex, start, 0));
    }
  } else if (status == 206) {
    append = localSize > 0;
    // The file stays as it is for the next mirror to continue.
    if (start + localSize > 0 && !PartStartsAt(opened.request.get(), start + localSize, url)) {
      SetAnswer(answer, AttemptFailure::Other, "HTTP 206 not starting at byte %llu",
                static_cast<unsigned long long>(start + localSize));
      return TransferOutcome::Failed;
    }
  } else {
    // 416 to a range within the manifest's size: the mirror's file is shorter.
    SetAnswer(answer, status == 416 ? AttemptFailure::Damaged : AttemptFailure::Other, "HTTP %lu",
              static_cast<unsigned long>(status));
    if (!answer->quiet) LogWrite("Download HTTP %lu: %s", static_cast<unsigned long>(status), url.c_str());
    return TransferOutcome::Failed;
  }

  if (!CreateParentDirectories(localPath)) return TransferOutcome::DiskError;
  FILE* f = nullptr;
  if (append) {
    f = _wfopen(localPath.c_str(), L"rb+");
    if (f && _fseeki64(f, 0, SEEK_END) != 0) {
      std::fclose(f);
      f = nullptr;
    }
  } else {
    f = _wfopen(localPath.c_str(), L"wb");
  }
  if (!f) {
    LogWrite("Download fopen failed: %ls", localPath.c_str());
    return TransferOutcome::DiskError;
  }

  if (prefixHashed && !append) digest.Reset();  // the whole file came instead
  const bool hashing = digest.ok() && start == 0 && (!append || prefixHashed);

  std::uint64_t fileBytes = append ? localSize : 0, transferBytes = 0;
  // A split file's pieces are checked against its map from the first block
  // boundary after the map is there.
  std::optional<BlockCheck> check;
  // A resumed file's kept bytes count from now on: the readout's sizes must
  // not read 0 while its first block is on the way and the speed already shows.
  if (append) report(fileBytes);
  const ULONGLONG startedAt = GetTickCount64();
  bool incomplete = false, writeFailure = false, slow = false, tooLong = false, wrongBlock = false;
  // The reader takes the request over and watches the cancel flag, also
  // while a read is blocked; it reads the next block while this one is
  // written and hashed.
  std::shared_ptr<ReadBounds> bounds;
  if (piece) {
    bounds = std::make_shared<ReadBounds>();
    bounds->at.store(start + fileBytes);
    job.pool->WatchPiece(fileIndex, start, bounds);
  }
  CancellableReader reader(std::move(opened), BlockFor(pieceLength() - fileBytes), job.stallMs,
                           &job.counters.receivedBytes, bounds);
  if (!reader.ok()) incomplete = true;
  while (!incomplete) {
    if (job.flags.Cancelled()) {
      incomplete = true;
      break;
    }
    const char* data = nullptr;
    DWORD got = 0;
    // A silent mirror must not hold the job: no byte for stallMs ends the
    // transfer, even while a read is blocked.
    ReadStatus rs = reader.Read(&data, &got, job.flags.cancel);
    if (rs == ReadStatus::kEnd) break;
    if (rs == ReadStatus::kStalled) {
      SetAnswer(answer, AttemptFailure::Other, "no data for %lu ms", static_cast<unsigned long>(job.stallMs));
      if (!answer->quiet)
        LogWrite("Download read stall (>=%lums): %s", static_cast<unsigned long>(job.stallMs), url.c_str());
      incomplete = true;
      break;
    }
    if (rs != ReadStatus::kData) {
      incomplete = true;
      break;
    }
    if (piece) {
      // Bytes past the piece's end belong to the next piece's taker.
      std::uint64_t fileHave = 0;
      DWORD granted = static_cast<DWORD>(job.pool->Grant(fileIndex, start, got, &fileHave));
      if (!check)
        if (std::shared_ptr<const BlockMap> map = MapOf(job, fileIndex))
          check.emplace(std::move(map), start + fileBytes);
      if (check && !check->Feed(data, granted)) {
        if (MapRefuses(job, fileIndex, work->mirror)) {
          // The bytes before the wrong block stay; from it on the piece
          // comes again from another mirror.
          const std::uint64_t keep = check->badAt() - start;
          granted = keep > fileBytes ? static_cast<DWORD>(keep - fileBytes) : 0;
          wrongBlock = incomplete = true;
        } else {
          check.reset();
        }
      }
      if (std::fwrite(data, 1, granted, f) != granted) {
        writeFailure = true;
        answer->writeError = LastWriteError();
        break;
      }
      if (hashing) digest.Update(data, granted);
      transferBytes += granted;
      fileBytes += granted;
      RaiseInFlight(job.counters, fileIndex, fileHave);
      if (wrongBlock) {
        SetAnswer(answer, AttemptFailure::Damaged, "block at byte %llu differs from its map",
                  static_cast<unsigned long long>(check->badAt()));
        LogWrite("Download block at byte %llu differs from its map: %s",
                 static_cast<unsigned long long>(check->badAt()), url.c_str());
        if (std::fflush(f) != 0 || _chsize_s(_fileno(f), static_cast<long long>(check->badAt() - start)) != 0) {
          writeFailure = true;
          answer->writeError = LastWriteError();
        }
        fileBytes = check->badAt() - start;
        break;
      }
      if (granted < got && start + pieceLength() == expectedSize) {
        // More than the manifest's file: not that file, as below.
        SetAnswer(answer, AttemptFailure::Damaged, "longer than %llu bytes",
                  static_cast<unsigned long long>(expectedSize));
        if (!answer->quiet)
          LogWrite("Download longer than expected (%llu bytes): %s", static_cast<unsigned long long>(expectedSize),
                   url.c_str());
        tooLong = incomplete = true;
        break;
      }
      // A piece that ends before the file's end stops there; the last one
      // reads on to the end of the body, where more bytes show a wrong file.
      if (granted < got || (fileBytes >= pieceLength() && start + pieceLength() < expectedSize)) break;
    } else if (got > expectedSize - fileBytes) {
      // More than the manifest's file: not that file, and a mirror must not
      // fill the disk with it.
      SetAnswer(answer, AttemptFailure::Damaged, "longer than %llu bytes",
                static_cast<unsigned long long>(expectedSize));
      if (!answer->quiet)
        LogWrite("Download longer than expected (%llu bytes): %s", static_cast<unsigned long long>(expectedSize),
                 url.c_str());
      tooLong = incomplete = true;
      break;
    }
    if (!piece) {
      if (std::fwrite(data, 1, got, f) != got) {
        writeFailure = true;
        answer->writeError = LastWriteError();
        break;
      }
      if (hashing) digest.Update(data, got);
      transferBytes += got;
      fileBytes += got;
      SetInFlight(job.counters, fileIndex, fileBytes);
    }
    ULONGLONG elapsed = GetTickCount64() - startedAt;
    if (transferBytes >= kSlowMinBytes && elapsed >= kSlowMinMs) {
      double seconds = elapsed / 1000.0;
      if (seconds > 0.01) {
        double rate = transferBytes / seconds;
        if (rate < kSlowRate) {
          SetAnswer(answer, AttemptFailure::Other, "slow %.2f MB/s", rate / 1048576.0);
          LogWrite("Mirror slow %.2f MB/s (<0.25 MB/s): %s", rate / 1048576.0, url.c_str());
          slow = true;
          incomplete = true;
          break;
        }
      }
    }
  }
  // A piece that ended before the file's end left the rest of its body
  // unread: its connection goes before the next request opens another. Not
  // after a cancel or a stall: a read that is still waiting would hold them.
  if (piece && !incomplete && !writeFailure && start + pieceLength() < expectedSize) reader.Close(2000);
  if (std::fclose(f) != 0 && !incomplete) {
    writeFailure = true;
    answer->writeError = LastWriteError();
  }
  if (writeFailure) {
    answer->drive = WideToUtf8(DriveOf(localPath));
    LogWrite("Download write failed, error=%lu: %s", answer->writeError, url.c_str());
  }

  if (job.flags.Cancelled()) {
    report(fileBytes);
    return TransferOutcome::Cancelled;
  }
  if (writeFailure) {
    report(fileBytes);
    return TransferOutcome::DiskError;
  }
  if (tooLong) {
    DeleteFileW(localPath.c_str());
    SetInFlight(job.counters, fileIndex, piece ? job.pool->SetPieceHave(fileIndex, start, 0) : 0);
    return TransferOutcome::Failed;
  }
  if (wrongBlock) {
    SetInFlight(job.counters, fileIndex, job.pool->SetPieceHave(fileIndex, start, fileBytes));
    return TransferOutcome::Failed;
  }
  if (slow) {
    report(fileBytes);
    return TransferOutcome::Slow;
  }
  const std::uint64_t wanted = pieceLength();
  if (incomplete || fileBytes < wanted) {
    if (answer->text.empty())
      SetAnswer(answer, AttemptFailure::Other, "body ended after %llu of %llu bytes",
                static_cast<unsigned long long>(start + fileBytes), static_cast<unsigned long long>(start + wanted));
    report(fileBytes);
    return TransferOutcome::Failed;
  }
  // A part of a split file: the whole file's hash decides once every
  // piece is there (JoinPieces).
  if (piece && !job.pool->IsWhole(fileIndex, start)) return TransferOutcome::Done;
  if (expectedSize >= kHashNoticeBytes && window) PostStatusText(window, Gbk(u8"正在校验已下载文件...").c_str());
  std::string actual;
  bool hashed = hashing && digest.Finish(&actual);
  if (!hashed) hashed = Sha256HexOfFile(localPath, &actual);
  SetInFlight(job.counters, fileIndex, 0);
  if (hashed && DigestEquals(actual, expectedSha256)) return TransferOutcome::Done;
  SetAnswer(answer, AttemptFailure::Damaged, "SHA-256 mismatch");
  if (!answer->quiet)
    LogWrite("Download hash mismatch %s expected %s got %s", url.c_str(), expectedSha256.c_str(),
             hashed ? actual.c_str() : "");
  DeleteFileW(localPath.c_str());
  return TransferOutcome::Failed;
}

namespace {

// Appends every later piece to the file, each at its first byte, then
// removes the pieces. A stop half-way leaves the pieces in place: the file
// holds no byte past a piece's start that the piece does not hold too.
bool JoinPieces(const std::wstring& local, const std::vector<Piece>& pieces) {
  FILE* out = _wfopen(local.c_str(), L"rb+");
  if (!out) return false;
  std::vector<char> buffer(1048576);
  bool ok = true;
  for (size_t i = 1; i < pieces.size() && ok; ++i) {
    FILE* in = _wfopen(PieceName(local, pieces[i].start).c_str(), L"rb");
    ok = in && _fseeki64(out, static_cast<long long>(pieces[i].start), SEEK_SET) == 0;
    for (std::uint64_t left = pieces[i].end - pieces[i].start; ok && left > 0;) {
      const size_t n = static_cast<size_t>(left < buffer.size() ? left : buffer.size());
      ok = std::fread(buffer.data(), 1, n, in) == n && std::fwrite(buffer.data(), 1, n, out) == n;
      left -= n;
    }
    if (in) std::fclose(in);
  }
  if (std::fclose(out) != 0) ok = false;
  if (ok)
    for (size_t i = 1; i < pieces.size(); ++i) DeleteFileW(PieceName(local, pieces[i].start).c_str());
  return ok;
}

void DeletePieces(const std::wstring& local, const std::vector<Piece>& pieces) {
  DeleteFileW(local.c_str());
  for (size_t i = 1; i < pieces.size(); ++i) DeleteFileW(PieceName(local, pieces[i].start).c_str());
}

// The last piece of a split file is there: the pieces go into the file and
// its SHA-256 decides. On a mismatch every piece goes and the file starts
// afresh, as after a whole file's mismatch.
TransferOutcome FinishSplitFile(DownloadJob& job, const Work& work, const std::wstring& local, AttemptAnswer* answer) {
  const ManifestFile& f = job.files[work.file];
  const std::vector<Piece> pieces = job.pool->Pieces(work.file);
  if (!JoinPieces(local, pieces)) {
    SetAnswer(answer, AttemptFailure::Other, "pieces could not be joined");
    LogWrite("Download pieces not joined: %ls", local.c_str());
    DeletePieces(local, pieces);
  } else {
    if (f.size >= kHashNoticeBytes && job.window) PostStatusText(job.window, Gbk(u8"正在校验已下载文件...").c_str());
    std::string actual;
    const bool hashed = Sha256HexOfFile(local, &actual);
    if (hashed && DigestEquals(actual, f.sha256)) return TransferOutcome::Done;
    SetAnswer(answer, AttemptFailure::Damaged, "SHA-256 mismatch");
    if (!answer->quiet)
      LogWrite("Download hash mismatch %s expected %s got %s",
               BuildFileUrl(job.mirrors[work.mirror], job.manifest->product, f.path).c_str(), f.sha256.c_str(),
               hashed ? actual.c_str() : "");
    DeleteFileW(local.c_str());
  }
  job.pool->ResetFile(work.file, -1);
  SetInFlight(job.counters, work.file, 0);
  return TransferOutcome::Failed;
}

}  // namespace

std::vector<Piece> PiecesOnDisk(const std::wstring& local, std::uint64_t size) {
  std::uint64_t length = 0;
  FileSizeOf(local, &length);
  const size_t slash = local.find_last_of(L'\\');
  const std::wstring folder = slash == std::wstring::npos ? L"" : local.substr(0, slash + 1);
  const std::wstring name = local.substr(folder.size());
  std::vector<PieceOnDisk> parts;
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW((local + L".*.piece").c_str(), &found);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::uint64_t at = 0;
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && ParsePieceName(found.cFileName, name, &at))
        parts.push_back({at, (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow});
    } while (FindNextFileW(h, &found));
    FindClose(h);
  }
  // A whole file needs no pieces (an older launcher finished it from its
  // own length): they go, and the file is checked as it is.
  if (length >= size) {
    for (const PieceOnDisk& p : parts) DeleteFileW(PieceName(local, p.start).c_str());
    return {};
  }
  if (length == 0 && parts.empty()) return {};
  return PiecesFromDisk(size, length, std::move(parts));
}

bool FileJob(DownloadJob& job, const Work& work) {
  const int mirror = work.mirror, file = work.file;
  if (job.flags.fatal.load()) return false;
  const ManifestFile& f = job.files[file];
  std::wstring local = JoinPath(job.installDir, ManifestPathToLocal(Utf8ToWide(f.path)));
  if (!IsInsideInstallDir(job.installDir, local)) {
    SetFatalError(job, Gbk(u8"非法写入路径: ") + GbkFromUtf8(f.path));
    return false;
  }
  std::uint64_t localSize = 0;
  if (work.start == 0 && (!work.pieces || job.pool->IsWhole(file, 0)) && FileSizeOf(local, &localSize) &&
      localSize == f.size) {
    if (f.size >= kHashNoticeBytes && job.window) PostStatusText(job.window, Gbk(u8"正在校验本地文件...").c_str());
    std::string actual;
    if (Sha256HexOfFile(local, &actual) && DigestEquals(actual, f.sha256)) {
      if (work.pieces) job.pool->MarkComplete(file);
      RecordProgress(job, f, f.size, true);
      CountComplete(job, f);
      SetInFlight(job.counters, file, 0);
      return true;
    }
    DeleteFileW(local.c_str());
    if (work.pieces) job.pool->ResetFile(file, work.worker);
  }
  const std::wstring target = work.start == 0 ? local : PieceName(local, work.start);
  const std::string& base = job.mirrors[mirror];
  if (work.pieces && !job.pool->IsWhole(file, work.start))
    FetchMapOf(job, file, mirror, job.pool->PieceEnd(file, work.start) - work.start);
  std::string url = BuildFileUrl(base, job.manifest->product, f.path);
  const std::uint64_t before = LocalSize(target);
  AttemptAnswer answer;
  {
    std::lock_guard<std::mutex> lock(job.retryLock);
    answer.quiet = job.retries[file].rounds > 0;
  }
  TransferOutcome outcome = TransferFile(job, url, target, f.size, f.sha256, file, &answer, &work);
  if (outcome == TransferOutcome::Done && work.pieces && !job.pool->IsWhole(file, work.start)) {
    job.failStreaks[mirror] = 0;
    // Others' pieces still come: their takers finish the file.
    if (!job.pool->FinishPiece(file, work.start)) return false;
    outcome = FinishSplitFile(job, work, local, &answer);
  }
  if (outcome == TransferOutcome::Done) {
    job.failStreaks[mirror] = 0;
    if (work.pieces) job.pool->MarkComplete(file);
    RecordProgress(job, f, f.size, true);
    CountComplete(job, f);
    SetInFlight(job.counters, file, 0);
    return true;
  }
  if (!AfterFailedTransfer(job, mirror, file, outcome, answer)) return false;
  // The piece goes back for whoever takes the file next, with what came.
  if (work.pieces) job.pool->ReleasePiece(file, work.start);
  const std::uint64_t after = LocalSize(target);
  RecordProgress(job, f, LocalSize(local), false);
  RetryElsewhere(job, mirror, file, after > before, answer);
  return false;
}
