#pragma once
// A client download: every file of a client manifest from the manifest's
// mirrors at once, one worker per mirror, resumable and verified. A client
// repair runs its files through the same engine (RunJobFiles).
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "download/pool.h"
#include "manifest/blockmap.h"
#include "manifest/client_manifest.h"
#include "manifest/progress.h"

// Byte counters for the progress display, shared by the workers and the
// controller.
struct ProgressCounters {
  std::atomic<std::uint64_t> completedBytes{0};
  std::atomic<std::uint64_t> inFlightBytes{0};
  // Every byte the workers' readers took off the network, for the speed;
  // never goes down (bytes of a failed attempt were received all the same).
  std::atomic<std::uint64_t> receivedBytes{0};
  std::atomic<std::uint32_t> completedFiles{0};
  std::mutex mutex;                  // guards slots and their sum
  std::vector<std::uint64_t> slots;  // bytes on disk per file, as last reported
};

// Everything the workers of one job share; owned by the controller.
struct DownloadJob {
  HWND window = nullptr;
  const ClientManifest* manifest = nullptr;
  std::vector<ManifestFile> files;  // sorted by size, largest first
  std::wstring installDir;
  std::vector<std::string> mirrors;
  MirrorPool* pool = nullptr;
  JobFlags flags;
  ProgressCounters counters;
  std::mutex progressLock;  // guards progress and progressChanged
  ProgressState progress;
  bool progressChanged = false;  // entries not yet in the file
  std::wstring progressPath;     // empty: a job that keeps no resume state
  std::mutex errorLock;
  std::string jobError;  // GBK; the first fatal error wins
  // A transfer that receives nothing for this long ends as Failed.
  DWORD stallMs = 120000;
  std::mutex retryLock;            // guards retries: pieces of a file fail on several workers
  std::vector<FileRetry> retries;  // by file index
  // Failed attempts in a row without progress, by mirror; a mirror may have
  // several workers.
  std::vector<std::atomic<unsigned>> failStreaks;
  // Set by the caller: a file that no mirror serves as the manifest says
  // (404 or another file on every one) ends the job with `unserved` set, for
  // the caller to read the manifests again, instead of waiting its rounds.
  bool stopWhenUnserved = false;
  std::atomic<bool> unserved{false};
  // Files are handed out in pieces (a download from mirrors that serve
  // ranges), and what earlier runs left is taken up piece by piece: by file
  // index, empty where the disk holds no piece.
  bool pieces = false;
  std::vector<std::vector<Piece>> restored;
  // Block maps of split files, by file index: the first taker of a file's
  // far piece asks its mirror for the map, and every piece of the file is
  // checked against it from then on (BlockCheck). `mapAsked` is set once a
  // worker has gone for it, found or not: a file is asked for once a job.
  // A map can be false as a mirror's bytes can: `mapRefusedBy` is the first
  // mirror whose piece differed from it (-1: none). When a second mirror's
  // does, the map is set aside and the joined file's SHA-256 alone decides,
  // so that one mirror's false map fails at most one attempt of another's.
  std::mutex mapLock;
  std::vector<std::shared_ptr<const BlockMap>> maps;
  std::vector<bool> mapAsked;
  std::vector<int> mapRefusedBy;
};

// What one attempt got, in a few words for the operator ("HTTP 404",
// "SHA-256 mismatch"). `quiet` keeps the attempt's own log lines out: a file
// that has already failed on every mirror logs one line per round instead.
struct AttemptAnswer {
  bool quiet = false;
  AttemptFailure failure = AttemptFailure::Other;
  std::string text;
  unsigned long writeError = 0;  // the system's error of a failed write
  std::string drive;             // UTF-8, the drive of the file that was written
};

// Timings of every job, fixed in the program; tests shorten them.
struct EngineTimings {
  std::atomic<unsigned long> stallMs{120000};
  std::atomic<unsigned long long> cooldownMs{kMirrorCooldownMs};
};
extern EngineTimings Timings;

// What an operator's tool changes about every job; the launcher keeps the
// defaults.
struct EngineOptions {
  // Full rounds of failing on every mirror after which a file ends the job
  // with its mirrors' answers; 0: never (the player cancels).
  std::atomic<unsigned> giveUpAfterRounds{0};
  // Told of every failed attempt, on the worker's thread: mirror base,
  // manifest path, answer.
  std::atomic<void (*)(const std::string&, const std::string&, const std::string&)> onFailedAttempt{nullptr};
};
extern EngineOptions Options;

void SetInFlight(ProgressCounters& counters, int file, std::uint64_t bytes);
// The same, but never lower: pieces of one file report at once.
void RaiseInFlight(ProgressCounters& counters, int file, std::uint64_t bytes);
// A file counted complete, for the readout and the job's end.
void CountComplete(DownloadJob& job, const ManifestFile& f);
void SetFatalError(DownloadJob& job, const std::string& text);
// Writes the resume state when entries changed since the last write. Called
// by the controller only, so two writes never meet.
void SaveChangedProgress(DownloadJob& job);

TransferOutcome TransferFile(DownloadJob& job, const std::string& url, const std::wstring& localPath,
                             std::uint64_t expectedSize, const std::string& expectedSha256, int fileIndex,
                             AttemptAnswer* answer, const Work* work = nullptr);
// The work one worker took (a file, or a piece of one); true when the file
// is counted complete.
bool FileJob(DownloadJob& job, const Work& work);
// The pieces an earlier run left of the file at `local` (empty when there
// are none to take up, or the file is whole).
std::vector<Piece> PiecesOnDisk(const std::wstring& local, std::uint64_t size);
// Sends a file whose attempt on `mirror` failed to its next mirror, or,
// when it has now failed on every one, holds it for its round's wait.
void RetryElsewhere(DownloadJob& job, int mirror, int file, bool progressed, const AttemptAnswer& answer);
// What a transfer that did not end Done means for the mirror (a slow one
// cools, its queue goes elsewhere) and the job (a disk error ends it). True
// when the file is to be retried elsewhere (RetryElsewhere).
bool AfterFailedTransfer(DownloadJob& job, int mirror, int file, TransferOutcome outcome, const AttemptAnswer& answer);

// Runs `fileJob(mirror, file)` over every file of `job` (its window, files,
// mirrors and cancel flag set) with one worker per mirror, the files handed
// round the mirrors as they fail, and shows the readout under `label` until
// every file is counted complete, the player cancels or a fatal error ends
// the job. True when every file was counted complete.
bool RunJobFiles(DownloadJob& job, const std::function<bool(const Work&)>& fileJob, std::u8string_view label);

// Downloads the whole client into <saveFolder>\<install_root>. On failure
// `error` gets a GBK text. Given `unserved`, a file that no mirror serves as
// the manifest says ends the job and sets it (DownloadJob::stopWhenUnserved).
bool RunClientDownload(HWND window, const ClientManifest& manifest, const std::wstring& saveFolder,
                       std::atomic<bool>* cancel, std::string* error, bool* unserved = nullptr);
