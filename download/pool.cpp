#include "download/pool.h"

#include <algorithm>

MirrorPool::MirrorPool(int mirrors, std::function<std::uint64_t()> now, std::uint64_t cooldownMs)
    : deadlines_(new std::atomic<std::uint64_t>[mirrors > 0 ? mirrors : 1]),
      now_(std::move(now)),
      cooldownMs_(cooldownMs) {
  for (int i = 0; i < mirrors; ++i) {
    queues_.push_back(std::make_unique<MirrorQueue>());
    deadlines_[i].store(0);
  }
}

void MirrorPool::Enqueue(int mirror, int file) {
  MirrorQueue& q = *queues_[mirror];
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    q.files.push_back(file);
  }
  q.cv.notify_one();
}

bool MirrorPool::IsAvailable(int mirror) {
  std::uint64_t deadline = deadlines_[mirror].load();
  if (deadline == 0) return true;
  if (now_() >= deadline) {
    deadlines_[mirror].store(0);
    return true;
  }
  return false;
}

void MirrorPool::ReassignFile(int file, int source) {
  const int n = size();
  for (int i = 1; i < n; ++i) {
    int candidate = (source + i) % n;
    if (IsAvailable(candidate)) {
      Enqueue(candidate, file);
      return;
    }
  }
  Enqueue(source, file);
}

void MirrorPool::PenalizeMirror(int mirror) { deadlines_[mirror].store(now_() + cooldownMs_); }

void MirrorPool::CoolMirror(int mirror, std::uint64_t ms) {
  const std::uint64_t until = now_() + ms;
  if (until > deadlines_[mirror].load()) deadlines_[mirror].store(until);
}

std::vector<int> MirrorPool::TakeAll(int mirror) {
  MirrorQueue& q = *queues_[mirror];
  std::lock_guard<std::mutex> lock(q.mutex);
  std::vector<int> out(q.files.begin(), q.files.end());
  q.files.clear();
  return out;
}

int MirrorPool::AvailableMirrorCount() {
  int count = 0;
  for (int i = 0; i < size(); ++i) count += IsAvailable(i);
  return count;
}

void MirrorPool::WakeAll() {
  for (auto& q : queues_) {
    // Taking the lock orders the wake-up after a waiter's flag check.
    { std::lock_guard<std::mutex> lock(q->mutex); }
    q->cv.notify_all();
  }
}

size_t MirrorPool::QueuedCount(int mirror) {
  std::lock_guard<std::mutex> lock(queues_[mirror]->mutex);
  return queues_[mirror]->files.size();
}

void MirrorPool::RunWorker(int mirror, const JobFlags& flags, const std::function<bool(int, int)>& fileJob,
                           const std::function<void(unsigned)>& sleepMs) {
  MirrorQueue& q = *queues_[mirror];
  for (;;) {
    if (flags.stop.load() || flags.Cancelled() || flags.fatal.load()) return;
    std::uint64_t deadline = deadlines_[mirror].load();
    if (deadline != 0) {
      if (now_() < deadline) {
        sleepMs(500);
        continue;
      }
      deadlines_[mirror].store(0);
    }
    int file;
    {
      std::unique_lock<std::mutex> lock(q.mutex);
      // A user cancel arrives without a wake-up; the controller sets stop and
      // wakes everyone within one monitor pass.
      q.cv.wait(lock, [&] { return flags.stop.load() || flags.Cancelled() || !q.files.empty(); });
      if (flags.stop.load() || flags.Cancelled() || q.files.empty()) return;
      file = q.files.front();
      q.files.pop_front();
    }
    if (!fileJob(mirror, file) && (flags.Cancelled() || flags.fatal.load())) return;
  }
}

void MirrorPool::Park(const ParkedFile& parked) {
  std::lock_guard<std::mutex> lock(parkedMutex_);
  parked_.push_back(parked);
}

int MirrorPool::ReleaseDue() {
  std::vector<ParkedFile> due;
  {
    std::lock_guard<std::mutex> lock(parkedMutex_);
    const std::uint64_t now = now_();
    for (size_t i = 0; i < parked_.size();) {
      if (parked_[i].due <= now) {
        due.push_back(parked_[i]);
        parked_.erase(parked_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
  }
  // Outside the lock: reassignment takes the queues' locks.
  for (const ParkedFile& p : due) ReassignFile(p.file, p.source);
  return static_cast<int>(due.size());
}

bool MirrorPool::NextParked(ParkedFile* out) {
  std::lock_guard<std::mutex> lock(parkedMutex_);
  if (parked_.empty()) return false;
  *out = *std::min_element(parked_.begin(), parked_.end(),
                           [](const ParkedFile& a, const ParkedFile& b) { return a.due < b.due; });
  return true;
}

RoundEnd AfterFailedAttempt(FileRetry& r, int mirror, int mirrorCount, const std::function<bool(int)>& available,
                            bool progressed, AttemptFailure failure, const std::string& answer) {
  const size_t n = mirrorCount > 0 ? static_cast<size_t>(mirrorCount) : 0;
  r.answers.resize(n);
  r.tried.resize(n);
  if (mirror >= 0 && static_cast<size_t>(mirror) < n) r.answers[mirror] = answer;
  auto startRound = [&r] {
    r.tried.assign(r.tried.size(), false);
    r.allMissing = r.allDamaged = r.allUnserved = true;
  };
  if (progressed) {
    startRound();
    r.rounds = 0;
    return {};
  }
  if (mirror >= 0 && static_cast<size_t>(mirror) < n) r.tried[mirror] = true;
  r.allMissing = r.allMissing && failure == AttemptFailure::Missing;
  r.allDamaged = r.allDamaged && failure == AttemptFailure::Damaged;
  r.allUnserved = r.allUnserved && failure != AttemptFailure::Other;
  for (size_t i = 0; i < n; ++i)
    if (!r.tried[i] && available(static_cast<int>(i))) return {};
  RoundEnd end;
  end.ended = true;
  end.round = ++r.rounds;
  end.waitMs = RetryWaitMs(end.round);
  end.reason = r.allMissing ? AttemptFailure::Missing : r.allDamaged ? AttemptFailure::Damaged : AttemptFailure::Other;
  end.unserved = r.allUnserved;
  startRound();
  return end;
}

std::uint64_t RetryWaitMs(unsigned round) {
  if (round == 0) return 0;
  std::uint64_t wait = kRetryFirstWaitMs;
  for (unsigned i = 1; i < round && wait < kRetryMaxWaitMs; ++i) wait *= 2;
  return wait < kRetryMaxWaitMs ? wait : kRetryMaxWaitMs;
}

std::uint64_t MirrorRestMs(unsigned streak) { return streak < 3 ? 0 : RetryWaitMs(streak - 2); }

std::string DescribeAnswers(const std::vector<std::string>& mirrors, const FileRetry& r) {
  std::string out;
  for (size_t i = 0; i < r.answers.size() && i < mirrors.size(); ++i) {
    if (r.answers[i].empty()) continue;
    if (!out.empty()) out += "; ";
    out += mirrors[i] + ": " + r.answers[i];
  }
  return out;
}

JobStatusKind ChooseJobStatus(int availableMirrors, std::uint32_t completedFiles, std::uint32_t fileCount,
                              std::uint64_t msSinceChange, double speedMBps, bool fileWaiting) {
  if (fileWaiting && speedMBps < 0.01 && completedFiles < fileCount) return JobStatusKind::FileWaiting;
  if (availableMirrors == 0 && completedFiles < fileCount) return JobStatusKind::CoolingDown;
  if (msSinceChange >= 60000 && completedFiles < fileCount && speedMBps < 0.01) return JobStatusKind::Retrying;
  return JobStatusKind::Downloading;
}

std::uint64_t BytesStillToFetch(const std::vector<LocalCopy>& files) {
  std::uint64_t needed = 0;
  for (const LocalCopy& f : files) {
    std::uint64_t missing = f.manifestSize - (f.onDisk < f.manifestSize ? f.onDisk : f.manifestSize);
    // Sizes come from a server: saturate rather than wrap.
    needed = missing > UINT64_MAX - needed ? UINT64_MAX : needed + missing;
  }
  return needed;
}

bool RoomEnough(std::uint64_t stillToFetch, std::uint64_t freeBytes) { return stillToFetch <= freeBytes; }
