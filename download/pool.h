#pragma once
// Scheduling core of a client download: one FIFO of file indices per mirror,
// one cool-down deadline per mirror, and the loop each mirror's workers run.
// A worker whose queue is empty takes the largest file waiting on another
// mirror; when none waits, and the job allows it, the far part of the
// largest piece still coming (download/pieces.h). The clock and the per-file
// job are passed in, so the scheduling is tested natively (also under
// ThreadSanitizer).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "download/pieces.h"

enum class TransferOutcome { Failed = 0, Done = 1, Slow = 2, Cancelled = 3, NotFound = 4, DiskError = 5 };

inline constexpr std::uint64_t kMirrorCooldownMs = 60000;

// A file that has failed on every available mirror in a row waits before its
// next round, so that a file missing everywhere (published manifest, files
// not yet copied) cannot make every player's launcher ask the mirrors for it
// as fast as they answer. There is no limit on rounds: the player cancels.
inline constexpr std::uint64_t kRetryFirstWaitMs = 1000;
inline constexpr std::uint64_t kRetryMaxWaitMs = 60000;

// What an attempt's failure says about the file on the mirrors.
enum class AttemptFailure { Missing, Damaged, Other };

// A file's failed attempts since it last made progress. Only the worker that
// holds the file touches it; the queues hand the file, and so this, over.
struct FileRetry {
  std::vector<bool> tried;  // by mirror index, in the current round
  unsigned rounds = 0;      // full rounds without progress
  bool allMissing = true, allDamaged = true;
  bool allUnserved = true;           // every attempt Missing or Damaged, in any mix
  std::vector<std::string> answers;  // each mirror's last answer, by mirror index
  // The mirror of the last failed attempt. An attempt that made progress
  // starts a new round, but the mirror that just broke off gives the file to
  // the others: it does not take it back from their queues.
  int lastFailed = -1;
};

struct RoundEnd {
  bool ended = false;
  unsigned round = 0;  // 1 for the first full round
  std::uint64_t waitMs = 0;
  AttemptFailure reason = AttemptFailure::Other;  // Missing or Damaged only when every attempt of the round was
  // No mirror served the file as the manifest says (404, or another size or
  // SHA-256, on each): the manifest may no longer be the mirrors'.
  bool unserved = false;
};

// Counts one failed attempt of a file on `mirror`. An attempt that left more
// of the file on disk than it found is progress and starts afresh. A round
// ends when no available mirror is left that the file has not failed on
// since the round began.
RoundEnd AfterFailedAttempt(FileRetry& r, int mirror, int mirrorCount, const std::function<bool(int)>& available,
                            bool progressed, AttemptFailure failure, const std::string& answer);
// 1 s after the first round, doubling, at most 60 s.
std::uint64_t RetryWaitMs(unsigned round);
// The files' waits alone do not bound how often a mirror is asked when many
// files fail (a manifest published before all of its files): each has its
// own first round. So a mirror whose attempts fail `streak` times in a row
// without progress rests too: from the third failure on, 1 s, doubling, at
// most 60 s. A mirror that misses a file now and then never rests.
std::uint64_t MirrorRestMs(unsigned streak);
// "<mirror>: <answer>; ..." for every mirror that has answered.
std::string DescribeAnswers(const std::vector<std::string>& mirrors, const FileRetry& r);

// A file held out of every queue until its round's wait is over.
struct ParkedFile {
  int file = -1;
  int source = 0;  // the mirror of its last attempt
  std::uint64_t due = 0;
  AttemptFailure reason = AttemptFailure::Other;
};

// Flags of one job: stop and fatal belong to the job, cancel to the user
// (may be null).
struct JobFlags {
  std::atomic<bool> stop{false};
  std::atomic<bool> fatal{false};
  const std::atomic<bool>* cancel = nullptr;
  bool Cancelled() const { return cancel && cancel->load(); }
};

// One piece of work a worker took: a whole file, or, in a job of pieces,
// the piece of the file that starts at `start`.
struct Work {
  int mirror = -1;
  int worker = -1;
  int file = -1;
  std::uint64_t start = 0;
  bool pieces = false;
};

class MirrorPool {
 public:
  // `now` gives milliseconds of a monotonic clock. The cool-down is fixed in
  // the program; tests shorten it.
  MirrorPool(int mirrors, std::function<std::uint64_t()> now, std::uint64_t cooldownMs = kMirrorCooldownMs);

  int size() const { return static_cast<int>(queues_.size()); }
  // Sizes by file index: the largest waiting file is taken first. With
  // `pieces`, files are handed out in pieces and split for idle workers.
  void SetFiles(std::vector<std::uint64_t> sizes, bool pieces);
  // What the next taker of a part of the file fetches first over the same
  // line (its block map): that taker's part is smaller by it, so that it
  // and the holder still end together. 0 once it has been fetched.
  void SetSplitCost(int file, std::uint64_t bytes);
  // Workers per mirror (ConnectionPlan); a mirror without one is never
  // handed a file, only robbed of what waits in its queue.
  void SetConnections(std::vector<int> plan);
  int Connections(int mirror) const { return plan_[mirror]; }
  // Which files a mirror may take from others' queues or split (a file that
  // failed there in its current round goes elsewhere first). Called under
  // the pool's lock: it must not call back into the pool.
  void SetMayTake(std::function<bool(int mirror, int file)> mayTake) { mayTake_ = std::move(mayTake); }
  void Enqueue(int mirror, int file);
  // Available when no deadline is set or it has passed (then it is reset).
  bool IsAvailable(int mirror);
  // To the next available mirror after `source` in ring order, else back to
  // `source`.
  void ReassignFile(int file, int source);
  void PenalizeMirror(int mirror);
  // Cools the mirror for `ms` unless it already cools longer.
  void CoolMirror(int mirror, std::uint64_t ms);
  // Empties the queue in the same locked step that reads it.
  std::vector<int> TakeAll(int mirror);
  int AvailableMirrorCount();
  void WakeAll();
  std::uint64_t Deadline(int mirror) const { return deadlines_[mirror].load(); }
  std::uint64_t Now() const { return now_(); }
  size_t QueuedCount(int mirror);

  void Park(const ParkedFile& parked);
  // Hands every parked file whose time has come on from its source, as
  // ReassignFile does; returns how many.
  int ReleaseDue();
  // The parked file due first; false when none waits.
  bool NextParked(ParkedFile* out);

  // The next work for `worker` of `mirror`: its own queue's front, else the
  // largest file waiting on a mirror with no worker ready to take it (all
  // busy or cooling), else a split. False when there is none. The caller
  // holds the pool's lock (RunWorker) or is a test.
  bool TakeWork(int mirror, int worker, Work* out);

  // Pieces of a job of pieces, each addressed by its file and first byte.
  // What lay on disk when the job began.
  void RestorePieces(int file, std::vector<Piece> pieces);
  std::vector<Piece> Pieces(int file);
  // The piece spans the whole file (it was never split).
  bool IsWhole(int file, std::uint64_t start);
  std::uint64_t PieceEnd(int file, std::uint64_t start);
  // The holder's reader stops at the piece's end, which a split lowers.
  void WatchPiece(int file, std::uint64_t start, std::shared_ptr<ReadBounds> bounds);
  // The piece's bytes on disk as its transfer found them; returns the
  // file's bytes on disk in all its pieces.
  std::uint64_t SetPieceHave(int file, std::uint64_t start, std::uint64_t have);
  // Up to `got` more bytes of the piece, as many as fit before its end,
  // which a split may have moved; *fileHave gets the file's bytes in all.
  std::uint64_t Grant(int file, std::uint64_t start, std::uint64_t got, std::uint64_t* fileHave);
  // True when that was the file's last piece: its taker joins them.
  bool FinishPiece(int file, std::uint64_t start);
  // The holder failed: the piece waits for the file's next taker.
  void ReleasePiece(int file, std::uint64_t start);
  // Every piece was wrong together: the file starts afresh, whole, held by
  // `worker`.
  void ResetFile(int file, int worker);
  // Counted complete: a stale entry of it in a queue is dropped.
  void MarkComplete(int file);

  // One worker's loop: takes work (TakeWork) and runs `job` on it until the
  // job stops, is cancelled or fails fatally. `sleepMs` waits out a
  // cool-down in steps.
  void RunWorker(int mirror, const JobFlags& flags, const std::function<bool(const Work&)>& job,
                 const std::function<void(unsigned)>& sleepMs);
  // The same for a job of whole files.
  void RunWorker(int mirror, const JobFlags& flags, const std::function<bool(int, int)>& fileJob,
                 const std::function<void(unsigned)>& sleepMs);

 private:
  bool Claim(int mirror, int worker, int file, Work* out);
  bool TakeWorkFor(int mirror, int worker, Work* out);
  bool Serves(int mirror) const { return plan_[mirror] > 0; }
  Piece* Find(int file, std::uint64_t start);
  void BeginStreaming(Piece& p);  // the caller holds the lock

  std::mutex mutex_;  // guards the queues, the pieces and the files' state
  std::condition_variable cv_;
  std::vector<std::deque<int>> queues_;
  std::vector<int> plan_;
  std::vector<int> ready_;  // workers not busy with work, by mirror
  std::unique_ptr<std::atomic<std::uint64_t>[]> deadlines_;
  std::function<std::uint64_t()> now_;
  std::uint64_t cooldownMs_;
  std::function<bool(int, int)> mayTake_;
  std::vector<std::uint64_t> sizes_, splitCost_;
  bool pieces_ = false;
  std::vector<std::vector<Piece>> table_;  // by file, in a job of pieces
  std::vector<bool> complete_;
  std::atomic<int> nextWorker_{0};
  std::mutex parkedMutex_;
  std::vector<ParkedFile> parked_;
};

enum class JobStatusKind { Downloading, CoolingDown, Retrying, FileWaiting };
// A file waiting out its round is named while nothing else moves.
JobStatusKind ChooseJobStatus(int availableMirrors, std::uint32_t completedFiles, std::uint32_t fileCount,
                              std::uint64_t msSinceChange, double speedMBps, bool fileWaiting = false);

// Room for a client download. A file still needs its manifest size less what
// already lies at its place on disk, counted up to the manifest size: a
// partial file is resumed or rewritten in place and a complete one is only
// verified, so the disk grows by the difference either way. The progress
// file is not consulted: the job takes what the disk holds, and an entry
// whose file is gone frees nothing.
struct LocalCopy {
  std::uint64_t manifestSize = 0;
  std::uint64_t onDisk = 0;  // 0 when nothing is there
};
std::uint64_t BytesStillToFetch(const std::vector<LocalCopy>& files);
bool RoomEnough(std::uint64_t stillToFetch, std::uint64_t freeBytes);
