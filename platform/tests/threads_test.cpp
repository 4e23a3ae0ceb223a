#include <atomic>
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
