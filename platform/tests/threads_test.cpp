#include <atomic>
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
  });
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
    });
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

}  // namespace
}  // namespace platform
