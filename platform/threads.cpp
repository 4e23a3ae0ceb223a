#include "threads.h"

#include <atomic>
#include <cstdlib>

#ifdef _WIN32
#include <process.h>
#else
#include <sched.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#endif

namespace platform {
namespace {

// Counts down to the start that the test hook makes fail; negative: disarmed.
std::atomic<int> starts_until_failure{-1};
std::atomic<int> pretended_processors{0};

std::atomic<bool> last_start_lacked_memory{false};

bool InjectedFailure() {
  int n = starts_until_failure.load();
  while (n >= 0) {
    if (starts_until_failure.compare_exchange_weak(n, n - 1)) return n == 0;
  }
  return false;
}

#ifndef _WIN32
// glibc reports a stack it could not map as EAGAIN, the code of a limit of
// threads: mapping one of the default size tells the two apart.
bool StackFits() {
  std::size_t size = std::size_t{8} << 20;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
  }
  void* p = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return false;
  munmap(p, size);
  return true;
}
#endif

// The processors in the process's affinity mask, at least one.
int AffinityProcessors() {
  int n = 1;
#ifdef _WIN32
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
    int bits = 0;
    for (; process != 0; process &= process - 1) ++bits;
    if (bits > 0) n = bits;
  }
#elif defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) n = CPU_COUNT(&set);
#else
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (online > 0) n = static_cast<int>(online < 1024 ? online : 1024);
#endif
  return n;
}

}  // namespace

bool LastStartLackedMemory() { return last_start_lacked_memory.load(); }

int AvailableThreads() {
  const int pretended = pretended_processors.load();
  int n = pretended > 0 ? pretended : AffinityProcessors();
  // A batch system's share of the machine is often narrower than the
  // affinity mask shows; DENOISERS_THREADS narrows it further.
  if (const char* cap = std::getenv("DENOISERS_THREADS")) {
    char* end = nullptr;
    const long k = std::strtol(cap, &end, 10);
    if (end != cap && *end == '\0' && k > 0 && k < n) n = static_cast<int>(k);
  }
  return n;
}

int ThreadsFor(const CallOptions& options) {
  const int available = AvailableThreads();
  return options.threads > 0 && options.threads < available ? options.threads : available;
}

void RunLane(void* lane) {
  const Lane& l = *static_cast<const Lane*>(lane);
  for (int k = l.next->fetch_add(1); k < l.count; k = l.next->fetch_add(1))
    l.worker(l.records + static_cast<std::size_t>(k) * l.size);
}

void FailThreadStartAfter(int nth) { starts_until_failure.store(nth < 0 ? -1 : nth); }

void PretendProcessors(int processors) { pretended_processors.store(processors > 0 ? processors : 0); }

WorkerGroup::WorkerGroup(int capacity) : slots_(capacity > 0 ? capacity : 0) {}

WorkerGroup::~WorkerGroup() {
  JoinAll();
#ifndef _WIN32
  pthread_cond_destroy(&ended_);
  pthread_mutex_destroy(&mutex_);
#endif
}

#ifdef _WIN32

unsigned __stdcall WorkerGroup::Run(void* slot) {
  auto* s = static_cast<Slot*>(slot);
  s->worker(s->record);
  return 0;  // the C runtime ends the thread with _endthreadex(0)
}

bool WorkerGroup::Start(WorkerFunction worker, void* record) {
  if (started_ >= static_cast<int>(slots_.size()) || InjectedFailure()) {
    last_start_lacked_memory = false;
    return false;
  }
  Slot& s = slots_[started_];
  s.worker = worker;
  s.record = record;
  s.group = this;
  const uintptr_t h = _beginthreadex(nullptr, 0, &WorkerGroup::Run, &s, 0, nullptr);
  if (h == 0) return false;
  s.handle = reinterpret_cast<HANDLE>(h);
  ++started_;
  return true;
}

void WorkerGroup::JoinAll(StopFlag* stop) {
  for (int k = 0; k < started_; ++k) {
    if (stop == nullptr) {
      WaitForSingleObject(slots_[k].handle, INFINITE);
      continue;
    }
    while (WaitForSingleObject(slots_[k].handle, kPollMilliseconds) == WAIT_TIMEOUT) stop->Poll();
  }
  for (int k = 0; k < started_; ++k) CloseHandle(slots_[k].handle);
  started_ = 0;
}

#else

void* WorkerGroup::Run(void* slot) {
  auto* s = static_cast<Slot*>(slot);
  s->worker(s->record);
  WorkerGroup& g = *s->group;
  pthread_mutex_lock(&g.mutex_);
  ++g.finished_;
  pthread_cond_signal(&g.ended_);
  pthread_mutex_unlock(&g.mutex_);
  return nullptr;
}

bool WorkerGroup::Start(WorkerFunction worker, void* record) {
  if (started_ >= static_cast<int>(slots_.size()) || InjectedFailure()) {
    last_start_lacked_memory = false;
    return false;
  }
  Slot& s = slots_[started_];
  s.worker = worker;
  s.record = record;
  s.group = this;
  if (pthread_create(&s.handle, nullptr, &WorkerGroup::Run, &s) != 0) {
    last_start_lacked_memory = !StackFits();
    return false;
  }
  ++started_;
  return true;
}

void WorkerGroup::JoinAll(StopFlag* stop) {
  if (stop != nullptr) {
    pthread_mutex_lock(&mutex_);
    while (finished_ < started_) {
      timespec until{};
      clock_gettime(CLOCK_REALTIME, &until);
      until.tv_nsec += kPollMilliseconds * 1000000L;
      if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
      }
      if (pthread_cond_timedwait(&ended_, &mutex_, &until) != 0) {
        // Asked without the lock, so a worker that ends meanwhile is not held up.
        pthread_mutex_unlock(&mutex_);
        stop->Poll();
        pthread_mutex_lock(&mutex_);
      }
    }
    pthread_mutex_unlock(&mutex_);
  }
  for (int k = 0; k < started_; ++k) pthread_join(slots_[k].handle, nullptr);
  started_ = 0;
  finished_ = 0;
}

#endif

}  // namespace platform
