// Worker threads: the one place that knows how the platform starts, waits for
// and ends a thread. POSIX threads on Linux and macOS, the C runtime's
// _beginthreadex on Windows.
#pragma once

#include <cstddef>
#include <vector>

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

  // Waits for every started worker, in start order, and releases the handles.
  void JoinAll();

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
  };
  std::vector<Slot> slots_;
  int started_ = 0;
};

// How a pass runs its workers. kOneAfterAnother runs them in worker order
// on the calling thread: the reference that threaded runs must match.
enum class Schedule { kThreads, kOneAfterAnother };

// Runs one pass: fills record k with fill(k, records[k]) and starts `worker`
// on it, for k = 0 .. count-1, in the platform's order, then waits for every
// worker that started. False when a worker could not be started; no further
// worker is started then, but those already running are waited for.
template <typename Record, typename Fill>
bool RunWorkers(Record* records, int count, WorkerFunction worker, Fill fill,
                Schedule schedule = Schedule::kThreads) {
  if (schedule == Schedule::kOneAfterAnother) {
    for (int k = 0; k < count; ++k) fill(k, records[k]);
    for (int k = 0; k < count; ++k) worker(&records[k]);
    return true;
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
  group.JoinAll();
  return started;
}

// Test hook: the `nth` start from now (0 counts the very next one) fails as
// if the platform had refused the thread. A negative value disarms the hook.
void FailThreadStartAfter(int nth);

}  // namespace platform
