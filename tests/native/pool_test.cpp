#include "download/pool.h"

#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace
