// Worker threads: the one place that knows how the platform starts, waits for
// and ends a thread. POSIX threads on Linux and macOS, the C runtime's
// _beginthreadex on Windows.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "stop.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace platform {

// A worker is a plain function of its own record. Returning from it ends the
// thread with a null result (exit code 0 on Windows), which is what
// pthread_exit(NULL) / _endthreadex(0) would do, without the forced unwind
// that pthread_exit needs an extra runtime library for.
using WorkerFunction = void (*)(void* record);

// Windows starts worker k as soon as its record is filled; the POSIX builds
// fill every record first and then start the workers in order.
#ifdef _WIN32
inline constexpr bool kStartEachWorkerWhenFilled = true;
#else
inline constexpr bool kStartEachWorkerWhenFilled = false;
#endif

// The workers of one pass: started one by one, waited for in start order.
class WorkerGroup {
 public:
  explicit WorkerGroup(int capacity);
  ~WorkerGroup();  // waits for any worker still running
  WorkerGroup(const WorkerGroup&) = delete;
  WorkerGroup& operator=(const WorkerGroup&) = delete;

  // Starts the next worker on `record`. False when the thread cannot be
  // started; the workers already running are unaffected.
  bool Start(WorkerFunction worker, void* record);

  // Waits for every started worker and releases the handles. With a stop
  // flag, the calling thread polls it every kPollMilliseconds while any
  // worker runs, instead of blocking until the last one ends.
  void JoinAll(StopFlag* stop = nullptr);

 private:
#ifdef _WIN32
  static unsigned __stdcall Run(void* slot);
#else
  static void* Run(void* slot);
#endif
  struct Slot {
#ifdef _WIN32
    HANDLE handle = nullptr;
#else
    pthread_t handle{};
#endif
    WorkerFunction worker = nullptr;
    void* record = nullptr;
    WorkerGroup* group = nullptr;
  };
  std::vector<Slot> slots_;
  int started_ = 0;
#ifndef _WIN32
  // Each worker counts itself here as it ends, and signals the waiter.
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t ended_ = PTHREAD_COND_INITIALIZER;
  int finished_ = 0;
#endif
};

// The OS threads a call may run on: the processors in the process's
// affinity mask, and no more than DENOISERS_THREADS when that is set to a
// positive number. At least one.
int AvailableThreads();

// Whether the last worker thread that could not be started failed for want
// of memory for its stack (an address-space limit such as ulimit -v) rather
// than at a limit of threads: the error then names memory.
bool LastStartLackedMemory();

// Runs `count` records on fewer OS threads: each thread takes the next
// record not yet taken until none is left, so a thread whose slabs had
// little to do (a masked call's outer slabs) takes more of them. Which
// thread runs a record changes no bits: every record writes only its own
// slab and spill buffers.
struct Lane {
  unsigned char* records;  // the first record
  std::size_t size;        // bytes from one record to the next
  int count;               // records
  std::atomic<int>* next;  // the next record to take, shared by the lanes
  WorkerFunction worker;
};
void RunLane(void* lane);

// How a pass runs its workers. kOneAfterAnother runs them in worker order
// on the calling thread: the reference that threaded runs must match.
enum class Schedule { kThreads, kOneAfterAnother };

// Runs one pass: fills record k with fill(k, records[k]) and runs `worker`
// on it, for k = 0 .. count-1, then waits for every thread that started.
// With `threads` (at most; 0: AvailableThreads()) below `count`, the records
// share threads as lanes; each record is still processed whole by one
// worker call, so the result does not depend on the thread count. With a
// thread for every record, they start in the platform's order. False when a
// thread could not be started; no further thread is started then, but those
// already running are waited for. With a stop flag, the calling thread polls
// it before the first start and while it waits (the workers are expected to
// read it and end early); when it is set before the start, nothing runs.
// `abandoned`, when given, is set as soon as a thread could not be started,
// before the started ones are waited for: workers that wait on one another
// read it and end.
template <typename Record, typename Fill>
bool RunWorkers(Record* records, int count, WorkerFunction worker, Fill fill,
                Schedule schedule = Schedule::kThreads, int threads = 0,
                StopFlag* stop = nullptr, std::atomic<bool>* abandoned = nullptr) {
  if (schedule == Schedule::kOneAfterAnother) {
    for (int k = 0; k < count; ++k) fill(k, records[k]);
    for (int k = 0; k < count; ++k) {
      if (stop != nullptr && stop->Poll()) break;
      worker(&records[k]);
    }
    return true;
  }
  // Asked once before any thread starts: an interrupt that came between two
  // passes stops the call without waiting for a poll.
  if (stop != nullptr && stop->Poll()) return true;
  if (threads <= 0) threads = AvailableThreads();
  if (threads < count) {
    for (int k = 0; k < count; ++k) fill(k, records[k]);
    std::atomic<int> next{0};
    const Lane lane{reinterpret_cast<unsigned char*>(records), sizeof(Record), count, &next,
                    worker};
    std::vector<Lane> lanes(threads, lane);
    WorkerGroup group(threads);
    bool started = true;
    for (int t = 0; t < threads && started; ++t) started = group.Start(&RunLane, &lanes[t]);
    if (!started && abandoned != nullptr) abandoned->store(true);
    group.JoinAll(stop);
    return started;
  }
  WorkerGroup group(count);
  bool started = true;
  if constexpr (kStartEachWorkerWhenFilled) {
    for (int k = 0; k < count && started; ++k) {
      fill(k, records[k]);
      started = group.Start(worker, &records[k]);
    }
  } else {
    for (int k = 0; k < count; ++k) fill(k, records[k]);
    for (int k = 0; k < count && started; ++k) started = group.Start(worker, &records[k]);
  }
  if (!started && abandoned != nullptr) abandoned->store(true);
  group.JoinAll(stop);
  return started;
}

// Runs fn(begin, end) over consecutive ranges that cover [0, count), one
// thread each, for work whose result cannot depend on how it is cut (each
// element on its own). Up to `threads` ranges (0: AvailableThreads()) of at
// least `min_per_range` elements; everything on the calling thread under
// kOneAfterAnother or when one range is all there is. Spreading such a loop
// over the threads spreads its memory bandwidth and, on fresh memory, the
// first touch of every page. A range whose thread could not start runs on
// the calling thread afterwards: such work never fails for want of one.
// With a stop flag the ranges run in pieces of about a sixteenth of
// min_per_range, and once the flag is set no further piece starts: a long
// pass (seconds on a large volume under a slow build) then ends within a
// piece of an interrupt. The caller checks the flag afterwards, since the
// work is then incomplete.
template <typename Fn>
void ForEachRange(std::int64_t count, std::int64_t min_per_range, int threads,
                  Schedule schedule, const Fn& fn, StopFlag* stop = nullptr) {
  if (threads <= 0) threads = AvailableThreads();
  const std::int64_t most = min_per_range > 0 ? count / min_per_range : count;
  const int ranges = static_cast<int>(most < threads ? (most < 1 ? 1 : most) : threads);
  const std::int64_t piece = stop == nullptr    ? (count > 0 ? count : 1)
                             : min_per_range < 32 ? 1
                                                  : min_per_range / 16;
  if (ranges == 1 || schedule == Schedule::kOneAfterAnother) {
    for (std::int64_t b = 0; b < count; b += piece) {
      if (stop != nullptr && stop->Poll()) return;
      fn(b, b + piece < count ? b + piece : count);
    }
    return;
  }
  struct Range {
    const Fn* fn;
    std::int64_t begin, end, piece;
    const StopFlag* stop;
    bool done;
  };
  std::vector<Range> records;
  for (int k = 0; k < ranges; ++k)
    records.push_back(
        Range{&fn, count * k / ranges, count * (k + 1) / ranges, piece, stop, false});
  WorkerFunction worker = [](void* record) {
    Range& r = *static_cast<Range*>(record);
    for (std::int64_t b = r.begin; b < r.end; b += r.piece) {
      if (r.stop != nullptr && r.stop->stopped()) return;
      (*r.fn)(b, b + r.piece < r.end ? b + r.piece : r.end);
    }
    r.done = true;
  };
  // The records are complete already; a thread that never started leaves
  // its record's range undone.
  if (RunWorkers(records.data(), ranges, worker, [](int, Range&) {}, Schedule::kThreads, ranges,
                 stop))
    return;
  if (stop != nullptr && stop->stopped()) return;
  for (const Range& r : records)
    if (!r.done) fn(r.begin, r.end);
}

// step(i) for every element i of [0, count), on up to `threads` threads in
// ranges of at least kRangeElements: for elementwise loops over volumes of
// doubles, below which size a thread costs more than it saves.
inline constexpr std::int64_t kRangeElements = std::int64_t{1} << 20;
template <typename Step>
void ForEachElement(std::int64_t count, int threads, Schedule schedule, const Step& step) {
  ForEachRange(count, kRangeElements, threads, schedule,
               [&step](std::int64_t begin, std::int64_t end) {
                 for (std::int64_t i = begin; i < end; ++i) step(i);
               });
}

// Test hook: the `nth` start from now (0 counts the very next one) fails as
// if the platform had refused the thread. A negative value disarms the hook.
void FailThreadStartAfter(int nth);

// Test hook: AvailableThreads() counts `processors` processors, as if the
// affinity mask held that many (DENOISERS_THREADS still narrows them), so
// that many threads can be run on a smaller machine. 0 disarms the hook.
void PretendProcessors(int processors);

}  // namespace platform
