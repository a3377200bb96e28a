#include "download/pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

struct FakeClock {
  std::atomic<std::uint64_t> ms{1000};
  std::function<std::uint64_t()> fn() {
    return [this] { return ms.load(); };
  }
};

TEST(MirrorPool, ReassignmentGoesRoundTheRingSkippingCoolingMirrors) {
  FakeClock clock;
  MirrorPool pool(3, clock.fn());
  pool.ReassignFile(7, 0);
  EXPECT_EQ(pool.TakeAll(1), std::vector<int>{7});
  // A mirror the file already failed on this round is passed over while another is left.
  pool.SetMayTake([](int mirror, int file) { return !(mirror == 1 && file == 7); });
  pool.ReassignFile(7, 0);
  EXPECT_EQ(pool.TakeAll(2), std::vector<int>{7});
  pool.SetMayTake(nullptr);
  pool.PenalizeMirror(1);
  pool.ReassignFile(8, 0);
  EXPECT_EQ(pool.TakeAll(2), std::vector<int>{8});
  pool.PenalizeMirror(2);
  pool.ReassignFile(9, 0);  // every other mirror cools: back to the source
  EXPECT_EQ(pool.TakeAll(0), std::vector<int>{9});
  EXPECT_EQ(pool.AvailableMirrorCount(), 1);
  pool.PenalizeMirror(0);
  EXPECT_EQ(pool.AvailableMirrorCount(), 0);
  clock.ms += kMirrorCooldownMs;
  EXPECT_EQ(pool.AvailableMirrorCount(), 3);
  EXPECT_EQ(pool.Deadline(0), 0u) << "an expired deadline is reset by whoever looks";
  pool.PenalizeMirror(0);
  pool.CoolMirror(0, 1000);
  EXPECT_EQ(pool.Deadline(0), clock.ms + kMirrorCooldownMs) << "a shorter rest keeps the longer cool-down";
}

TEST(MirrorPool, OneMirrorAlwaysGetsItsFilesBack) {
  FakeClock clock;
  MirrorPool pool(1, clock.fn());
  pool.PenalizeMirror(0);
  pool.ReassignFile(1, 0);
  pool.ReassignFile(2, 0);
  EXPECT_EQ(pool.TakeAll(0), (std::vector<int>{1, 2}));
  EXPECT_TRUE(pool.TakeAll(0).empty());
}

TEST(MirrorPool, WorkerWaitsOutItsCooldownThenServesItsQueue) {
  FakeClock clock;
  MirrorPool pool(1, clock.fn());
  JobFlags flags;
  pool.Enqueue(0, 5);
  pool.PenalizeMirror(0);
  int sleeps = 0;
  std::vector<int> served;
  pool.RunWorker(
      0, flags,
      [&](int, int f) {
        served.push_back(f);
        flags.stop = true;
        return true;
      },
      [&](unsigned ms) {
        EXPECT_EQ(ms, 500u);
        ++sleeps;
        clock.ms += 500;
      });
  EXPECT_EQ(sleeps, 120);
  EXPECT_EQ(served, std::vector<int>{5});
}

TEST(MirrorPool, WorkerEndsOnFatalOrCancelAfterAFailedFile) {
  FakeClock clock;
  MirrorPool pool(2, clock.fn());
  std::atomic<bool> cancel{false};
  JobFlags flags;
  flags.cancel = &cancel;
  pool.Enqueue(0, 1);
  pool.Enqueue(0, 2);
  int runs = 0;
  pool.RunWorker(
      0, flags,
      [&](int, int) {
        ++runs;
        cancel = true;
        return false;
      },
      [](unsigned) {});
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(pool.QueuedCount(0), 1u);
}

constexpr std::uint64_t kMiB = 1048576;

// A worker whose queue is empty takes the largest file waiting on a mirror
// whose workers are busy, but not one that failed on its mirror in the
// current round; a mirror without a connection is handed nothing.
TEST(MirrorPool, IdleWorkersTakeTheLargestWaitingFile) {
  FakeClock clock;
  MirrorPool pool(3, clock.fn());
  pool.SetFiles({50, 90, 70, 10, 60}, false);
  pool.SetMayTake([](int mirror, int file) { return !(mirror == 2 && file == 1); });
  for (auto [mirror, file] : {std::pair{0, 3}, {0, 1}, {1, 2}, {1, 0}, {1, 4}}) pool.Enqueue(mirror, file);
  Work w;
  EXPECT_FALSE(pool.TakeWork(2, 2, &w)) << "mirrors 0 and 1 have workers ready: they take their own";
  ASSERT_TRUE(pool.TakeWork(0, 0, &w));
  EXPECT_EQ(w.file, 3) << "its own queue first, in its order";
  ASSERT_TRUE(pool.TakeWork(1, 1, &w));
  EXPECT_EQ(w.file, 2);
  ASSERT_TRUE(pool.TakeWork(2, 2, &w));
  EXPECT_EQ(w.file, 4) << "the largest, 1, failed on mirror 2 this round";
  pool.SetMayTake(nullptr);
  ASSERT_TRUE(pool.TakeWork(2, 2, &w));
  EXPECT_EQ(w.file, 1);
  ASSERT_TRUE(pool.TakeWork(2, 2, &w));
  EXPECT_EQ(w.file, 0);
  EXPECT_FALSE(pool.TakeWork(2, 2, &w)) << "whole files are never split";

  MirrorPool cooling(2, clock.fn());
  cooling.Enqueue(0, 7);
  cooling.PenalizeMirror(0);
  ASSERT_TRUE(cooling.TakeWork(1, 1, &w)) << "a cooling mirror's files go to one that serves";
  EXPECT_EQ(w.file, 7);

  pool.SetConnections({1, 0, 1});
  pool.ReassignFile(0, 0);
  EXPECT_EQ(pool.TakeAll(2), std::vector<int>{0}) << "mirror 1 has no connection";
  EXPECT_EQ(pool.AvailableMirrorCount(), 2);
}

// With no file waiting, an idle worker takes the far half of what is left
// of the largest piece in transfer; the holder's writes stop at the split.
TEST(MirrorPool, IdleWorkersSplitTheLargestPieceAndFailedPiecesGoBack) {
  FakeClock clock;
  MirrorPool pool(3, clock.fn());
  pool.SetFiles({20 * kMiB, 3 * kMiB / 2}, true);
  pool.Enqueue(0, 0);
  pool.Enqueue(1, 1);
  Work a, b, c, d;
  ASSERT_TRUE(pool.TakeWork(0, 0, &a));
  ASSERT_TRUE(pool.TakeWork(1, 1, &b));
  EXPECT_FALSE(pool.TakeWork(2, 2, &c)) << "no split before its holder begins: the file may be whole on disk";
  EXPECT_EQ(pool.SetPieceHave(0, 0, 4 * kMiB), 4 * kMiB);
  auto bounds = std::make_shared<ReadBounds>();
  bounds->at = 4 * kMiB - kReadCallBytes;
  pool.WatchPiece(0, 0, bounds);
  EXPECT_EQ(bounds->end.load(), UINT64_MAX) << "the file's last piece reads to the body's end";
  ASSERT_TRUE(pool.TakeWork(2, 2, &c));
  EXPECT_EQ(c.file, 0);
  EXPECT_EQ(c.start, 12 * kMiB);
  EXPECT_EQ(bounds->end.load(), 12 * kMiB) << "the holder's reader stops at the split";
  EXPECT_EQ(pool.PieceEnd(0, 0), 12 * kMiB);
  EXPECT_FALSE(pool.IsWhole(0, 0));
  EXPECT_TRUE(pool.IsWhole(1, 0));
  std::uint64_t have = 0;
  EXPECT_EQ(pool.Grant(0, 0, 9 * kMiB, &have), 8 * kMiB) << "past the split point belongs to the far piece";
  EXPECT_EQ(have, 12 * kMiB);
  EXPECT_EQ(pool.Grant(0, 12 * kMiB, 8 * kMiB - kMinPieceBytes, &have), 8 * kMiB - kMinPieceBytes);
  EXPECT_EQ(have, 20 * kMiB - kMinPieceBytes);
  EXPECT_FALSE(pool.TakeWork(1, 3, &d)) << "too little left to split, and the other file not begun";
  // The far piece's holder stalls: its piece waits for the file's next taker.
  pool.ReleasePiece(0, 12 * kMiB);
  EXPECT_FALSE(pool.FinishPiece(0, 0));
  pool.Enqueue(1, 0);
  ASSERT_TRUE(pool.TakeWork(1, 3, &d));
  EXPECT_EQ(d.file, 0);
  EXPECT_EQ(d.start, 12 * kMiB);
  EXPECT_EQ(pool.SetPieceHave(0, 12 * kMiB, 8 * kMiB), 20 * kMiB);
  EXPECT_TRUE(pool.FinishPiece(0, 12 * kMiB)) << "the last piece: its taker joins them";
  pool.Enqueue(2, 0);
  EXPECT_FALSE(pool.TakeWork(2, 2, &d)) << "a stale entry is dropped while the pieces are joined";
  pool.ResetFile(0, -1);
  pool.Enqueue(2, 0);
  ASSERT_TRUE(pool.TakeWork(2, 2, &d)) << "a mismatch starts the file afresh";
  EXPECT_TRUE(pool.IsWhole(0, 0));
  pool.MarkComplete(0);
  pool.Enqueue(2, 0);
  EXPECT_FALSE(pool.TakeWork(2, 2, &d));
}

// The others found nothing while the only file's holder had not begun to
// stream it, and wait: its first bytes wake them, and they split it.
TEST(MirrorPool, IdleWorkersWakeWhenAPieceBeginsStreaming) {
  FakeClock clock;
  MirrorPool pool(3, clock.fn());
  pool.SetFiles({20 * kMiB}, true);
  pool.Enqueue(0, 0);
  JobFlags flags;
  std::atomic<int> took[3] = {};
  auto job = [&](const Work& w) {
    ++took[w.mirror];
    if (w.start == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::uint64_t have = 0;
    while (pool.Grant(w.file, w.start, 64 * 1024, &have) > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!pool.FinishPiece(w.file, w.start)) return false;
    pool.MarkComplete(w.file);
    flags.stop = true;
    pool.WakeAll();
    return true;
  };
  std::vector<std::thread> workers;
  for (int m = 0; m < 3; ++m) workers.emplace_back([&, m] { pool.RunWorker(m, flags, job, [](unsigned) {}); });
  for (auto& w : workers) w.join();
  for (int m = 0; m < 3; ++m) EXPECT_GT(took[m].load(), 0) << m;
}

// The one file at the start: the first idle mirror takes a third, as the
// other is idle too, and the other half of what its holder kept.
TEST(MirrorPool, TwoIdleMirrorsTakeAThirdEach) {
  FakeClock clock;
  MirrorPool pool(3, clock.fn());
  pool.SetFiles({30 * kMiB}, true);
  pool.Enqueue(0, 0);
  Work a, b, c;
  ASSERT_TRUE(pool.TakeWork(0, 0, &a));
  pool.SetPieceHave(0, 0, 0);
  ASSERT_TRUE(pool.TakeWork(1, 1, &b));
  EXPECT_EQ(b.start, 20 * kMiB);
  ASSERT_TRUE(pool.TakeWork(2, 2, &c));
  EXPECT_EQ(c.start, 10 * kMiB);
}

TEST(Pieces, SplitPointsAndRestoredPieces) {
  struct {
    std::uint64_t start, end, have, at, ahead;
    std::uint64_t cost = 0;
    std::vector<std::uint64_t> others = {};
  } splits[] = {
      {0, 20 * kMiB, 4 * kMiB, 12 * kMiB},
      {0, 4 * kMiB, 0, 2 * kMiB},
      {0, 2 * kMinPieceBytes - 1, 0, 0},    // too small for two pieces
      {kMiB, 9 * kMiB + 100, 0, 5 * kMiB},  // on the grid
      {0, 20 * kMiB, 17 * kMiB, 18 * kMiB + kMiB / 2},
      {0, 20 * kMiB, 20 * kMiB - 2 * kMinPieceBytes + 1, 0},
      // Bytes on their way to the holder are not asked of another mirror.
      {0, 20 * kMiB, 4 * kMiB, 14 * kMiB, 4 * kMiB},
      {0, 20 * kMiB, 17 * kMiB, 0, 3 * kMiB - 2 * kMinPieceBytes + 1},
      {0, 20 * kMiB, 4 * kMiB, 0, 16 * kMiB},
      // A taker that fetches 2 MiB first takes 1 MiB less, and never less
      // than half of an equal part.
      {0, 20 * kMiB, 0, 11 * kMiB, 0, 2 * kMiB},
      {0, 20 * kMiB, 0, 15 * kMiB, 0, 50 * kMiB},
      // Others idle, or ending first, split the holder's part in turn: all
      // end together, no part under kMinPieceBytes.
      {0, 30 * kMiB, 0, 20 * kMiB, 0, 0, {0}},
      {0, 30 * kMiB, 0, 16 * kMiB, 0, 0, {12 * kMiB}},
      {0, 30 * kMiB, 0, 15 * kMiB, 0, 0, {15 * kMiB}},
      {0, 2 * kMiB, 0, 3 * kMiB / 2, 0, 0, {0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : splits) {
    Piece p{c.start, c.end, c.have, PieceState::Held, 0};
    EXPECT_EQ(SplitPoint(p, c.ahead, c.cost, c.others), c.at)
        << c.start << " " << c.end << " " << c.have << " " << c.ahead << " " << c.cost << " " << c.others.size();
  }
  struct {
    std::uint64_t length;
    std::vector<PieceOnDisk> parts;
    std::vector<std::uint64_t> want;  // start, end, have of each piece
  } restored[] = {
      {5, {}, {0, 100, 5}},
      {5, {{50, 10}}, {0, 50, 5, 50, 100, 10}},
      {60, {{50, 10}, {80, 20}}, {0, 50, 50, 50, 80, 10, 80, 100, 20}},  // stopped while the pieces were joined
      {0, {{80, 30}, {50, 0}, {50, 7}, {100, 3}}, {0, 50, 0, 50, 80, 0, 80, 100, 20}},
  };
  for (const auto& c : restored) {
    std::vector<std::uint64_t> got;
    for (const Piece& p : PiecesFromDisk(100, c.length, c.parts)) {
      got.insert(got.end(), {p.start, p.end, p.have});
      EXPECT_EQ(p.state == PieceState::Done, p.have == p.end - p.start);
    }
    EXPECT_EQ(got, c.want);
  }
  std::uint64_t at = 0;
  EXPECT_EQ(PieceName(L"common.MPQ", 12582912), L"common.MPQ.12582912.piece");
  EXPECT_TRUE(ParsePieceName(L"common.MPQ.12582912.piece", L"common.MPQ", &at));
  EXPECT_EQ(at, 12582912u);
  for (const wchar_t* other :
       {L"common.MPQ.piece", L"common.MPQ.012.piece", L"common.MPQ.1x.piece", L"common.MPQ2.12.piece",
        L"common.MPQ.12.part", L"common.MPQ.99999999999999999999.piece"})
    EXPECT_FALSE(ParsePieceName(other, L"common.MPQ", &at)) << other;
}

TEST(Pieces, ConnectionPlanHonoursTheManifestWithinThePoolsLimits) {
  struct {
    int mirrors;
    std::uint32_t perMirror, total;
    std::vector<int> plan;
  } cases[] = {
      {3, 1, 3, {1, 1, 1}}, {4, 1, 3, {1, 1, 1, 0}},    {3, 2, 5, {2, 2, 1}}, {2, 9, 99, {4, 4}},
      {3, 0, 0, {4, 4, 4}}, {5, 1, 1, {1, 0, 0, 0, 0}}, {1, 1, 3, {1}},
  };
  for (const auto& c : cases) EXPECT_EQ(ConnectionPlan(c.mirrors, c.perMirror, c.total), c.plan);
}

TEST(JobRoom, BytesStillToFetchAndTheDecision) {
  struct {
    std::vector<LocalCopy> files;
    std::uint64_t needed;
  } cases[] = {
      {{}, 0},
      {{{100, 0}, {50, 0}}, 150},
      {{{100, 40}}, 60},          // partial: resumed or rewritten in place
      {{{100, 100}, {7, 0}}, 7},  // complete: only verified
      {{{100, 900}}, 0},          // longer than the manifest says: cut, never counted as room
      {{{UINT64_MAX, 0}, {5, 0}}, UINT64_MAX},
  };
  for (const auto& c : cases) EXPECT_EQ(BytesStillToFetch(c.files), c.needed);
  EXPECT_TRUE(RoomEnough(100, 100));
  EXPECT_FALSE(RoomEnough(101, 100));
}

TEST(JobProgress, StatusKind) {
  EXPECT_EQ(ChooseJobStatus(0, 1, 2, 0, 5.0), JobStatusKind::CoolingDown);
  EXPECT_EQ(ChooseJobStatus(0, 2, 2, 0, 0.0), JobStatusKind::Downloading);
  EXPECT_EQ(ChooseJobStatus(1, 1, 2, 60000, 0.0), JobStatusKind::Retrying);
  EXPECT_EQ(ChooseJobStatus(1, 1, 2, 59999, 0.0), JobStatusKind::Downloading);
  EXPECT_EQ(ChooseJobStatus(1, 1, 2, 60000, 0.02), JobStatusKind::Downloading);
  EXPECT_EQ(ChooseJobStatus(0, 1, 2, 60000, 0.0, true), JobStatusKind::FileWaiting);
  EXPECT_EQ(ChooseJobStatus(3, 1, 2, 0, 0.5, true), JobStatusKind::Downloading) << "other files move";
}

TEST(FileRetry, RoundsWaitDoublingUpToAMinuteAndProgressStartsAfresh) {
  using F = AttemptFailure;
  struct Step {
    int mirror;
    unsigned available;  // mask of the mirrors not resting
    bool progressed;
    F failure;
    bool ended;
    std::uint64_t waitMs;
    F reason;
  } steps[] = {
      {0, 7, false, F::Missing, false, 0, F::Other},
      {1, 7, false, F::Missing, false, 0, F::Other},
      {2, 7, false, F::Missing, true, 1000, F::Missing},  // every mirror answered 404: wait 1 s
      {0, 7, false, F::Damaged, false, 0, F::Other},
      {1, 7, false, F::Damaged, false, 0, F::Other},
      {2, 7, false, F::Missing, true, 2000, F::Other},  // mixed answers
      {0, 7, false, F::Damaged, false, 0, F::Other},
      {1, 7, false, F::Damaged, false, 0, F::Other},
      {2, 7, false, F::Damaged, true, 4000, F::Damaged},
      {0, 7, true, F::Other, false, 0, F::Other},  // bytes arrived: the round starts again
      {1, 7, false, F::Other, false, 0, F::Other},
      {2, 7, false, F::Other, false, 0, F::Other},
      {0, 7, false, F::Other, true, 1000, F::Other},
      {1, 2, false, F::Missing, true, 2000, F::Missing},  // only this mirror available
      {1, 0, false, F::Missing, true, 4000, F::Missing},  // none: still one attempt a round
      {1, 7, false, F::Missing, false, 0, F::Other},
      {2, 5, false, F::Missing, false, 0, F::Other},  // mirror 1 rests now, mirror 0 is still to ask
      {0, 5, false, F::Missing, true, 8000, F::Missing},
  };
  FileRetry r;
  int i = 0;
  for (const Step& s : steps) {
    RoundEnd end = AfterFailedAttempt(
        r, s.mirror, 3, [&](int m) { return (s.available >> m) & 1; }, s.progressed, s.failure, "HTTP 404");
    EXPECT_EQ(end.ended, s.ended) << "step " << i;
    EXPECT_EQ(end.waitMs, s.waitMs) << "step " << i;
    if (s.ended) EXPECT_EQ(end.reason, s.reason) << "step " << i;
    EXPECT_EQ(r.lastFailed, s.mirror) << "step " << i << ": even after progress, not taken back by its mirror";
    ++i;
  }
  for (auto [round, ms] : {std::pair<unsigned, std::uint64_t>{0, 0}, {1, 1000}, {6, 32000}, {7, 60000}, {500, 60000}})
    EXPECT_EQ(RetryWaitMs(round), ms) << round;
  for (auto [streak, ms] : {std::pair<unsigned, std::uint64_t>{0, 0}, {2, 0}, {3, 1000}, {4, 2000}, {100, 60000}})
    EXPECT_EQ(MirrorRestMs(streak), ms) << streak;
}

// What makes a job that follows its manifest read it again: a round in
// which every mirror answered with anything but the manifest's file.
TEST(FileRetry, ARoundWithoutTheManifestsFileOnAnyMirrorSaysSo) {
  using F = AttemptFailure;
  auto all = [](int) { return true; };
  struct Case {
    const char* what;
    std::vector<F> answers;  // mirrors 0, 1, 2 in turn
    bool unserved;
  };
  const Case cases[] = {
      {"404 everywhere", {F::Missing, F::Missing, F::Missing}, true},
      {"another file everywhere", {F::Damaged, F::Damaged, F::Damaged}, true},
      {"404 here, another file there", {F::Missing, F::Damaged, F::Missing}, true},
      {"one mirror unreachable", {F::Missing, F::Other, F::Damaged}, false},
  };
  for (const Case& c : cases) {
    FileRetry r;
    RoundEnd end;
    for (int m = 0; m < 3; ++m) end = AfterFailedAttempt(r, m, 3, all, false, c.answers[m], "x");
    ASSERT_TRUE(end.ended) << c.what;
    EXPECT_EQ(end.unserved, c.unserved) << c.what;
    // The next round is judged afresh.
    for (int m = 0; m < 3; ++m) end = AfterFailedAttempt(r, m, 3, all, false, F::Missing, "HTTP 404");
    EXPECT_TRUE(end.unserved) << c.what;
  }
}

TEST(FileRetry, AnswersNameEachMirror) {
  FileRetry r;
  auto all = [](int) { return true; };
  AfterFailedAttempt(r, 2, 3, all, false, AttemptFailure::Missing, "HTTP 404");
  AfterFailedAttempt(r, 0, 3, all, false, AttemptFailure::Damaged, "SHA-256 mismatch");
  EXPECT_EQ(DescribeAnswers({"https://a/", "https://b/", "https://c/"}, r),
            "https://a/: SHA-256 mismatch; https://c/: HTTP 404");
}

TEST(MirrorPool, ParkedFilesWaitTheirTurnThenGoToTheNextMirror) {
  FakeClock clock;
  MirrorPool pool(3, clock.fn());
  pool.Park({4, 2, 3000, AttemptFailure::Missing});
  pool.Park({5, 0, 2000, AttemptFailure::Damaged});
  ParkedFile next;
  ASSERT_TRUE(pool.NextParked(&next));
  EXPECT_EQ(next.file, 5);
  EXPECT_EQ(pool.ReleaseDue(), 0);
  clock.ms = 2000;
  EXPECT_EQ(pool.ReleaseDue(), 1);
  EXPECT_EQ(pool.TakeAll(1), std::vector<int>{5});
  clock.ms = 5000;
  EXPECT_EQ(pool.ReleaseDue(), 1);
  EXPECT_EQ(pool.TakeAll(0), std::vector<int>{4});
  EXPECT_FALSE(pool.NextParked(&next));
}

// Many workers reassigning, penalising and taking files from each other at
// once: every file is finished exactly once and every worker ends.
TEST(MirrorPoolStress, NoFileIsLostUnderConcurrentReassignment) {
  constexpr int kMirrors = 4, kFiles = 2000;
  FakeClock clock;
  MirrorPool pool(kMirrors, clock.fn());
  JobFlags flags;
  for (int i = 0; i < kFiles; ++i) pool.Enqueue(i % kMirrors, i);
  std::vector<std::atomic<int>> done(kFiles);
  std::vector<std::atomic<int>> attempts(kFiles);
  std::atomic<int> finished{0};
  auto job = [&](int m, int f) {
    int a = attempts[f]++;
    unsigned r = static_cast<unsigned>(f * 2654435761u + a * 40503u + m);
    if (a < 3 && r % 3 == 0) {  // slow: cool down, move this mirror's queue away
      pool.PenalizeMirror(m);
      for (int g : pool.TakeAll(m)) pool.ReassignFile(g, m);
      pool.ReassignFile(f, m);
      return false;
    }
    if (a < 3 && r % 3 == 1) {  // failed or 404
      pool.ReassignFile(f, m);
      return false;
    }
    done[f]++;
    if (++finished == kFiles) {
      flags.stop = true;
      pool.WakeAll();
    }
    return true;
  };
  auto sleeper = [&](unsigned ms) {
    clock.ms += ms * 40;
    std::this_thread::yield();
  };
  std::vector<std::thread> workers;
  for (int m = 0; m < kMirrors; ++m) workers.emplace_back([&, m] { pool.RunWorker(m, flags, job, sleeper); });
  for (auto& w : workers) w.join();
  EXPECT_EQ(finished.load(), kFiles);
  for (int i = 0; i < kFiles; ++i) ASSERT_EQ(done[i].load(), 1) << i;
}

// Workers split, write, fail and give back pieces at once: every byte of
// every file is written exactly once and each file is finished once.
TEST(MirrorPoolStress, PiecesTileEveryFileUnderConcurrentSplits) {
  constexpr int kMirrors = 3, kFiles = 40;
  FakeClock clock;
  MirrorPool pool(kMirrors, clock.fn());
  pool.SetConnections({2, 1, 1});
  std::vector<std::uint64_t> sizes;
  for (int i = 0; i < kFiles; ++i) sizes.push_back((i % 5) * 3 * kMiB + 1000 * i);
  pool.SetFiles(sizes, true);
  JobFlags flags;
  for (int i = 0; i < kFiles; ++i) pool.Enqueue(i % kMirrors, i);
  std::vector<std::atomic<std::uint64_t>> written(kFiles);
  std::vector<std::atomic<int>> finished(kFiles);
  std::atomic<int> left{kFiles}, attempts{0};
  auto job = [&](const Work& w) {
    const bool fail = attempts++ % 7 == 3;
    for (int k = 0; k < 40; ++k) {
      std::uint64_t have = 0;
      written[w.file] += pool.Grant(w.file, w.start, 256 * 1024, &have);
      if (fail && k == 2) {
        pool.ReleasePiece(w.file, w.start);
        pool.ReassignFile(w.file, w.mirror);
        return false;
      }
      std::this_thread::yield();
    }
    std::uint64_t have = 0;
    written[w.file] += pool.Grant(w.file, w.start, UINT64_MAX, &have);
    if (!pool.FinishPiece(w.file, w.start)) return false;
    finished[w.file]++;
    pool.MarkComplete(w.file);
    if (--left == 0) {
      flags.stop = true;
      pool.WakeAll();
    }
    return true;
  };
  std::vector<std::thread> workers;
  for (int m = 0; m < kMirrors; ++m)
    for (int k = 0; k < pool.Connections(m); ++k)
      workers.emplace_back([&, m] { pool.RunWorker(m, flags, job, [](unsigned) {}); });
  for (auto& w : workers) w.join();
  for (int i = 0; i < kFiles; ++i) {
    EXPECT_EQ(written[i].load(), sizes[i]) << i;
    EXPECT_EQ(finished[i].load(), 1) << i;
  }
}

}  // namespace
