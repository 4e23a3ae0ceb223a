#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "threads.h"

namespace platform {
namespace {

struct Record {
  int index = -1;
  std::atomic<int>* finished = nullptr;
  int seen = -2;  // what the worker found in its record
};

void Worker(void* p) {
  auto* r = static_cast<Record*>(p);
  r->seen = r->index;
  r->finished->fetch_add(1);
}

TEST(PlatformThreads, EveryWorkerRunsOnItsOwnFilledRecord) {
  std::atomic<int> finished{0};
  std::vector<Record> records(8);
  const bool ok = RunWorkers(records.data(), 8, Worker, [&](int k, Record& r) {
    r.index = k;
    r.finished = &finished;
  }, Schedule::kThreads, 8);
  EXPECT_TRUE(ok);
  EXPECT_EQ(finished.load(), 8);  // all joined before RunWorkers returned
  for (int k = 0; k < 8; ++k) EXPECT_EQ(records[k].seen, k);
}

TEST(PlatformThreads, AFailedStartStopsThePassAfterJoiningTheStartedWorkers) {
  for (int fail_at = 0; fail_at < 8; ++fail_at) {
    std::atomic<int> finished{0};
    std::vector<Record> records(8);
    FailThreadStartAfter(fail_at);
    const bool ok = RunWorkers(records.data(), 8, Worker, [&](int k, Record& r) {
      r.index = k;
      r.finished = &finished;
    }, Schedule::kThreads, 8);
    FailThreadStartAfter(-1);
    EXPECT_FALSE(ok);
    EXPECT_EQ(finished.load(), fail_at);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(records[k].seen, k < fail_at ? k : -2);
  }
  // The hook fires once: the next pass runs whole.
  std::atomic<int> finished{0};
  std::vector<Record> records(3);
  EXPECT_TRUE(RunWorkers(records.data(), 3, Worker, [&](int k, Record& r) {
    r.index = k;
    r.finished = &finished;
  }));
  EXPECT_EQ(finished.load(), 3);
}

TEST(PlatformThreads, FewerThreadsThanRecordsRunEveryRecordOnce) {
  for (int threads : {1, 2, 3, 7}) {
    SCOPED_TRACE(threads);
    std::atomic<int> finished{0};
    std::vector<Record> records(8);
    EXPECT_TRUE(RunWorkers(records.data(), 8, Worker, [&](int k, Record& r) {
      r.index = k;
      r.finished = &finished;
    }, Schedule::kThreads, threads));
    EXPECT_EQ(finished.load(), 8);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(records[k].seen, k);
    // When a thread cannot start, the started ones take every record, and
    // the pass still reports the failure.
    std::vector<Record> again(8);
    finished = 0;
    FailThreadStartAfter(threads - 1);
    EXPECT_FALSE(RunWorkers(again.data(), 8, Worker, [&](int k, Record& r) {
      r.index = k;
      r.finished = &finished;
    }, Schedule::kThreads, threads));
    FailThreadStartAfter(-1);
    EXPECT_EQ(finished.load(), threads == 1 ? 0 : 8);
  }
}

// Every element once, in ranges of at least the asked size, also when
// threads fail to start (their ranges then run on the calling thread).
TEST(PlatformThreads, ForEachRangeTouchesEveryElementOnce) {
  for (int fail_at : {-1, 0, 1, 2}) {
    for (std::int64_t count : {0, 1, 999, 1000, 4001, 10007}) {
      SCOPED_TRACE(testing::Message() << "count " << count << " failing start " << fail_at);
      std::vector<std::atomic<int>> hits(static_cast<std::size_t>(count));
      std::atomic<int> ranges{0};
      std::atomic<bool> short_range{false};
      FailThreadStartAfter(fail_at);
      ForEachRange(count, 1000, 4, Schedule::kThreads, [&](std::int64_t begin, std::int64_t end) {
        ++ranges;
        if (end - begin < 1000 && count >= 1000) short_range = true;
        for (std::int64_t i = begin; i < end; ++i) ++hits[static_cast<std::size_t>(i)];
      });
      FailThreadStartAfter(-1);
      for (std::int64_t i = 0; i < count; ++i) ASSERT_EQ(hits[static_cast<std::size_t>(i)], 1) << i;
      EXPECT_FALSE(short_range);
      EXPECT_LE(ranges.load(), 4);
      if (count == 10007) {
        EXPECT_EQ(ranges.load(), 4);
      }
    }
  }
}

// With a stop flag the pass still covers every element once while no stop
// is asked, runs nothing when it was asked before the start, and starts no
// piece after it (the rest of the pass is left undone).
TEST(PlatformThreads, ForEachRangeHearsAStopBetweenPieces) {
  struct Query {
    int asks = 0, yes_from = 0;
    static bool Ask(void* self) {
      Query& q = *static_cast<Query*>(self);
      return ++q.asks > q.yes_from;
    }
  };
  const std::int64_t count = 64000;
  for (Schedule schedule : {Schedule::kThreads, Schedule::kOneAfterAnother}) {
    for (int yes_from : {1 << 30, 0, 3}) {
      if (schedule == Schedule::kThreads && yes_from == 3) continue;  // when is up to the threads
      SCOPED_TRACE(testing::Message() << "schedule " << static_cast<int>(schedule) << " yes from "
                                      << yes_from);
      Query query{0, yes_from};
      CallOptions options;
      options.interrupt_query = &Query::Ask;
      options.interrupt_context = &query;
      StopFlag stop(options);
      std::vector<std::atomic<int>> hits(static_cast<std::size_t>(count));
      ForEachRange(count, 16000, 2, schedule, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) ++hits[static_cast<std::size_t>(i)];
      }, &stop);
      std::int64_t touched = 0;
      for (const auto& h : hits) {
        ASSERT_LE(h.load(), 1);
        touched += h.load();
      }
      const std::int64_t expected = yes_from == 0 ? 0 : yes_from == 3 ? 3 * 1000 : count;
      EXPECT_EQ(touched, expected);  // yes from the 4th ask: three pieces of 16000 / 16
    }
  }
}

void SetCap(const char* value) {
#ifdef _WIN32
  _putenv_s("DENOISERS_THREADS", value);  // "" removes it
#else
  if (*value != '\0') setenv("DENOISERS_THREADS", value, 1);
  else unsetenv("DENOISERS_THREADS");
#endif
}

TEST(PlatformThreads, AvailableThreadsFollowsTheEnvironmentCap) {
  const int all = AvailableThreads();
  EXPECT_GE(all, 1);
  SetCap("1");
  EXPECT_EQ(AvailableThreads(), 1);
  SetCap("100000");  // never more than the process may use
  EXPECT_EQ(AvailableThreads(), all);
  SetCap("two");  // not a number: no cap
  EXPECT_EQ(AvailableThreads(), all);
  SetCap("");
}

}  // namespace
}  // namespace platform
