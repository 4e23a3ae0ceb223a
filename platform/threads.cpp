#include "threads.h"

#include <atomic>

#ifdef _WIN32
#include <process.h>
#endif

namespace platform {
namespace {

// Counts down to the start that the test hook makes fail; negative: disarmed.
std::atomic<int> starts_until_failure{-1};

bool InjectedFailure() {
  int n = starts_until_failure.load();
  while (n >= 0) {
    if (starts_until_failure.compare_exchange_weak(n, n - 1)) return n == 0;
  }
  return false;
}

}  // namespace

void FailThreadStartAfter(int nth) { starts_until_failure.store(nth < 0 ? -1 : nth); }

WorkerGroup::WorkerGroup(int capacity) : slots_(capacity > 0 ? capacity : 0) {}

WorkerGroup::~WorkerGroup() { JoinAll(); }

#ifdef _WIN32

unsigned __stdcall WorkerGroup::Run(void* slot) {
  auto* s = static_cast<Slot*>(slot);
  s->worker(s->record);
  return 0;  // the C runtime ends the thread with _endthreadex(0)
}

bool WorkerGroup::Start(WorkerFunction worker, void* record) {
  if (started_ >= static_cast<int>(slots_.size()) || InjectedFailure()) return false;
  Slot& s = slots_[started_];
  s.worker = worker;
  s.record = record;
  const uintptr_t h = _beginthreadex(nullptr, 0, &WorkerGroup::Run, &s, 0, nullptr);
  if (h == 0) return false;
  s.handle = reinterpret_cast<HANDLE>(h);
  ++started_;
  return true;
}

void WorkerGroup::JoinAll() {
  for (int k = 0; k < started_; ++k) WaitForSingleObject(slots_[k].handle, INFINITE);
  for (int k = 0; k < started_; ++k) CloseHandle(slots_[k].handle);
  started_ = 0;
}

#else

void* WorkerGroup::Run(void* slot) {
  auto* s = static_cast<Slot*>(slot);
  s->worker(s->record);
  return nullptr;
}

bool WorkerGroup::Start(WorkerFunction worker, void* record) {
  if (started_ >= static_cast<int>(slots_.size()) || InjectedFailure()) return false;
  Slot& s = slots_[started_];
  s.worker = worker;
  s.record = record;
  if (pthread_create(&s.handle, nullptr, &WorkerGroup::Run, &s) != 0) return false;
  ++started_;
  return true;
}

void WorkerGroup::JoinAll() {
  for (int k = 0; k < started_; ++k) pthread_join(slots_[k].handle, nullptr);
  started_ = 0;
}

#endif

}  // namespace platform
