#pragma once
// Scheduling core of a client download: one FIFO of file indices per mirror,
// one cool-down deadline per mirror, and the loop each mirror's worker runs.
// Whole files are the unit of work. The clock and the per-file job are passed
// in, so the scheduling is tested natively (also under ThreadSanitizer).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

struct MirrorQueue {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<int> files;
};

class MirrorPool {
 public:
  // `now` gives milliseconds of a monotonic clock. The cool-down is fixed in
  // the program; tests shorten it.
  MirrorPool(int mirrors, std::function<std::uint64_t()> now, std::uint64_t cooldownMs = kMirrorCooldownMs);

  int size() const { return static_cast<int>(queues_.size()); }
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

  // One mirror worker's loop: takes files from its own queue and runs
  // `fileJob(mirror, file)` until the job stops, is cancelled or fails
  // fatally. `sleepMs` waits out a cool-down in steps.
  void RunWorker(int mirror, const JobFlags& flags, const std::function<bool(int, int)>& fileJob,
                 const std::function<void(unsigned)>& sleepMs);

 private:
  std::vector<std::unique_ptr<MirrorQueue>> queues_;
  std::unique_ptr<std::atomic<std::uint64_t>[]> deadlines_;
  std::function<std::uint64_t()> now_;
  std::uint64_t cooldownMs_;
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
