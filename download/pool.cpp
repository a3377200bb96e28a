#include "download/pool.h"

#include <algorithm>

MirrorPool::MirrorPool(int mirrors, std::function<std::uint64_t()> now, std::uint64_t cooldownMs)
    : queues_(static_cast<size_t>(mirrors > 0 ? mirrors : 0)),
      plan_(queues_.size(), 1),
      ready_(queues_.size(), 1),
      deadlines_(new std::atomic<std::uint64_t>[mirrors > 0 ? mirrors : 1]),
      now_(std::move(now)),
      cooldownMs_(cooldownMs) {
  for (int i = 0; i < mirrors; ++i) deadlines_[i].store(0);
}

void MirrorPool::SetFiles(std::vector<std::uint64_t> sizes, bool pieces) {
  std::lock_guard<std::mutex> lock(mutex_);
  table_.assign(sizes.size(), {});
  complete_.assign(sizes.size(), false);
  splitCost_.assign(sizes.size(), 0);
  sizes_ = std::move(sizes);
  pieces_ = pieces;
}

void MirrorPool::SetSplitCost(int file, std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (static_cast<size_t>(file) < splitCost_.size()) splitCost_[file] = bytes;
}

void MirrorPool::SetConnections(std::vector<int> plan) {
  if (plan.size() != queues_.size()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  plan_ = plan;
  ready_ = std::move(plan);
}

void MirrorPool::Enqueue(int mirror, int file) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queues_[mirror].push_back(file);
  }
  // Any idle worker may take it, not only the mirror's own.
  cv_.notify_all();
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
  // A mirror the file has not failed on first: with idle mirrors taking
  // from others' queues, the next in turn may already have had it this round.
  for (int pass = 0; pass < 2; ++pass)
    for (int i = 1; i < n; ++i) {
      const int candidate = (source + i) % n;
      if (Serves(candidate) && IsAvailable(candidate) && (pass == 1 || !mayTake_ || mayTake_(candidate, file))) {
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
  std::lock_guard<std::mutex> lock(mutex_);
  std::deque<int>& q = queues_[mirror];
  std::vector<int> out(q.begin(), q.end());
  q.clear();
  return out;
}

int MirrorPool::AvailableMirrorCount() {
  int count = 0;
  for (int i = 0; i < size(); ++i) count += Serves(i) && IsAvailable(i);
  return count;
}

void MirrorPool::WakeAll() {
  // Taking the lock orders the wake-up after a waiter's flag check.
  { std::lock_guard<std::mutex> lock(mutex_); }
  cv_.notify_all();
}

size_t MirrorPool::QueuedCount(int mirror) {
  std::lock_guard<std::mutex> lock(mutex_);
  return queues_[mirror].size();
}

bool MirrorPool::Claim(int mirror, int worker, int file, Work* out) {
  *out = {mirror, worker, file, 0, pieces_};
  if (!pieces_) return true;
  if (complete_[file]) return false;
  std::vector<Piece>& t = table_[file];
  if (t.empty()) {
    t.push_back({0, sizes_[file], 0, PieceState::Held, worker});
    return true;
  }
  const int i = ClaimablePiece(t);
  if (i < 0) return false;  // a stale entry: every piece is held
  t[i].state = PieceState::Held;
  t[i].holder = worker;
  t[i].streaming = false;
  t[i].bounds.reset();
  out->start = t[i].start;
  return true;
}

bool MirrorPool::TakeWork(int mirror, int worker, Work* out) {
  if (!TakeWorkFor(mirror, worker, out)) return false;
  --ready_[mirror];
  return true;
}

bool MirrorPool::TakeWorkFor(int mirror, int worker, Work* out) {
  std::deque<int>& own = queues_[mirror];
  while (!own.empty()) {
    const int file = own.front();
    own.pop_front();
    if (Claim(mirror, worker, file, out)) return true;
  }
  auto larger = [this](int a, int b) {
    const std::uint64_t sa = a < static_cast<int>(sizes_.size()) ? sizes_[a] : 0;
    const std::uint64_t sb = b < static_cast<int>(sizes_.size()) ? sizes_[b] : 0;
    return sa != sb ? sa > sb : a < b;
  };
  for (;;) {
    std::deque<int>* from = nullptr;
    size_t at = 0;
    for (int m = 0; m < size(); ++m) {
      // A mirror with a worker ready for work takes its own files.
      if (m == mirror || (ready_[m] > 0 && IsAvailable(m))) continue;
      for (size_t k = 0; k < queues_[m].size(); ++k) {
        const int f = queues_[m][k];
        if (mayTake_ && !mayTake_(mirror, f)) continue;
        if (!from || larger(f, (*from)[at])) from = &queues_[m], at = k;
      }
    }
    if (!from) break;
    const int file = (*from)[at];
    from->erase(from->begin() + static_cast<std::ptrdiff_t>(at));
    if (Claim(mirror, worker, file, out)) return true;
  }
  if (!pieces_) return false;
  int bestFile = -1;
  size_t bestPiece = 0;
  std::uint64_t bestLeft = 0;
  for (size_t f = 0; f < table_.size(); ++f) {
    if (mayTake_ && !mayTake_(mirror, static_cast<int>(f))) continue;
    for (size_t i = 0; i < table_[f].size(); ++i) {
      const Piece& p = table_[f][i];
      // A far piece may be split before its holder's request goes out:
      // only a file's first piece can turn out whole on disk.
      if (p.state != PieceState::Held || (!p.streaming && p.start == 0) || p.holder == worker ||
          SplitPoint(p, AheadOf(p)) == 0 || p.remaining() <= bestLeft)
        continue;
      bestFile = static_cast<int>(f), bestPiece = i, bestLeft = p.remaining();
    }
  }
  if (bestFile < 0) return false;
  std::vector<Piece>& t = table_[bestFile];
  // Workers that are idle, or end their pieces before this one's rest is
  // done, will split the holder's part in turn: the taker takes its share
  // of all of them, so that every mirror ends together.
  std::vector<std::uint64_t> others;
  for (size_t m = 0; m < ready_.size(); ++m)
    if (ready_[m] > 0 && IsAvailable(static_cast<int>(m)))
      others.insert(others.end(), static_cast<size_t>(ready_[m] - (static_cast<int>(m) == mirror)), 0);
  for (const std::vector<Piece>& pieces : table_)
    for (const Piece& p : pieces)
      if (p.state == PieceState::Held && p.streaming && p.holder != worker && &p != &t[bestPiece])
        others.push_back(LeftOf(p));
  const std::uint64_t at = SplitPoint(t[bestPiece], AheadOf(t[bestPiece]), splitCost_[bestFile], others);
  const Piece far{at, t[bestPiece].end, 0, PieceState::Held, worker};
  t[bestPiece].end = at;
  if (t[bestPiece].bounds) t[bestPiece].bounds->end.store(at);
  t.insert(t.begin() + static_cast<std::ptrdiff_t>(bestPiece) + 1, far);
  *out = {mirror, worker, bestFile, at, true};
  return true;
}

Piece* MirrorPool::Find(int file, std::uint64_t start) {
  if (file < 0 || static_cast<size_t>(file) >= table_.size()) return nullptr;
  for (Piece& p : table_[file])
    if (p.start == start) return &p;
  return nullptr;
}

void MirrorPool::RestorePieces(int file, std::vector<Piece> pieces) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (static_cast<size_t>(file) < table_.size()) table_[file] = std::move(pieces);
}

std::vector<Piece> MirrorPool::Pieces(int file) {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(file) < table_.size() ? table_[file] : std::vector<Piece>{};
}

bool MirrorPool::IsWhole(int file, std::uint64_t start) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!pieces_) return true;
  const Piece* p = Find(file, start);
  return p && p->start == 0 && p->end == sizes_[file];
}

void MirrorPool::WatchPiece(int file, std::uint64_t start, std::shared_ptr<ReadBounds> bounds) {
  std::lock_guard<std::mutex> lock(mutex_);
  Piece* p = Find(file, start);
  if (!p || !bounds) return;
  // The file's last piece reads on to the end of the body: bytes beyond the
  // manifest's size show another file on the mirror.
  bounds->end.store(p->end < sizes_[file] ? p->end : UINT64_MAX);
  p->bounds = std::move(bounds);
}

std::uint64_t MirrorPool::PieceEnd(int file, std::uint64_t start) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Piece* p = Find(file, start);
  return p ? p->end : start;
}

// A piece may be split from the moment its holder streams it: the workers
// that found nothing to take while it had not begun wait for a wake-up, and
// without this one would sleep until the holder ended, the file's bytes all
// coming from one mirror.
void MirrorPool::BeginStreaming(Piece& p) {
  if (p.streaming) return;
  p.streaming = true;
  cv_.notify_all();
}

std::uint64_t MirrorPool::SetPieceHave(int file, std::uint64_t start, std::uint64_t have) {
  std::lock_guard<std::mutex> lock(mutex_);
  Piece* p = Find(file, start);
  if (!p) return 0;
  p->have = have < p->end - p->start ? have : p->end - p->start;
  BeginStreaming(*p);
  return HaveOf(table_[file]);
}

std::uint64_t MirrorPool::Grant(int file, std::uint64_t start, std::uint64_t got, std::uint64_t* fileHave) {
  std::lock_guard<std::mutex> lock(mutex_);
  Piece* p = Find(file, start);
  if (p) BeginStreaming(*p);
  const std::uint64_t n = p ? GrantBytes(*p, got) : 0;
  *fileHave = p ? HaveOf(table_[file]) : 0;
  return n;
}

bool MirrorPool::FinishPiece(int file, std::uint64_t start) {
  std::lock_guard<std::mutex> lock(mutex_);
  Piece* p = Find(file, start);
  if (!p) return false;
  p->state = PieceState::Done;
  p->holder = -1;
  p->bounds.reset();
  for (const Piece& q : table_[file])
    if (q.state != PieceState::Done) return false;
  // Held while its finisher joins the pieces: nobody else takes the file.
  table_[file][0].state = PieceState::Held;
  return true;
}

void MirrorPool::ReleasePiece(int file, std::uint64_t start) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Piece* p = Find(file, start);
    if (!p) return;
    p->state = PieceState::Free;
    p->holder = -1;
    p->streaming = false;
    p->bounds.reset();
  }
  cv_.notify_all();
}

void MirrorPool::ResetFile(int file, int worker) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (static_cast<size_t>(file) < table_.size())
    table_[file] = {{0, sizes_[file], 0, worker < 0 ? PieceState::Free : PieceState::Held, worker}};
}

void MirrorPool::MarkComplete(int file) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (static_cast<size_t>(file) < complete_.size()) {
    complete_[file] = true;
    table_[file].clear();
  }
}

void MirrorPool::RunWorker(int mirror, const JobFlags& flags, const std::function<bool(const Work&)>& job,
                           const std::function<void(unsigned)>& sleepMs) {
  const int worker = nextWorker_++;
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
    Work work;
    bool took = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // A user cancel arrives without a wake-up; the controller sets stop and
      // wakes everyone within one monitor pass. Another worker of this
      // mirror may cool it meanwhile: then this one rests too.
      while (!flags.stop.load() && !flags.Cancelled() && deadlines_[mirror].load() == 0) {
        took = TakeWork(mirror, worker, &work);
        if (took) break;
        cv_.wait(lock);
      }
      if (flags.stop.load() || flags.Cancelled()) return;
    }
    if (!took) continue;
    // A new piece in transfer may be split by an idle worker.
    if (work.pieces) cv_.notify_all();
    const bool counted = job(work);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++ready_[mirror];
    }
    if (!counted && (flags.Cancelled() || flags.fatal.load())) return;
  }
}

void MirrorPool::RunWorker(int mirror, const JobFlags& flags, const std::function<bool(int, int)>& fileJob,
                           const std::function<void(unsigned)>& sleepMs) {
  RunWorker(
      mirror, flags, [&fileJob](const Work& w) { return fileJob(w.mirror, w.file); }, sleepMs);
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
  r.lastFailed = mirror;
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
