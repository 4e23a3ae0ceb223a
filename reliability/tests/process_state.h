// What the process holds right now: threads, resident memory, and (in a
// build with the leak checker) whether anything unreachable was allocated.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gateway_check.h"

#if defined(__SANITIZE_ADDRESS__)
#define RELIABILITY_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RELIABILITY_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define RELIABILITY_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define RELIABILITY_TSAN 1
#endif
#endif

#if defined(RELIABILITY_ASAN)
#include <sanitizer/lsan_interface.h>
#endif

namespace reliability {

// Threads of this process running right now, as the fuzz harness counts
// them (a joined thread's task may linger a moment; it is not counted).
inline int ThreadCount() { return fuzzargs::ThreadCount(); }

// VmRSS in kB, or -1.
inline long ResidentKb() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
  std::fclose(f);
  return kb;
}

// True when the leak checker found nothing unreachable (or is not built in).
inline bool NoLeaks() {
#if defined(RELIABILITY_ASAN)
  return __lsan_do_recoverable_leak_check() == 0;
#else
  return true;
#endif
}

// A sanitizer's allocator holds freed memory back (quarantine, shadow), so
// resident memory says nothing about leaks there; the leak checker does.
inline constexpr bool kResidentMemoryIsMeaningful =
#if defined(RELIABILITY_ASAN) || defined(RELIABILITY_TSAN)
    false;
#else
    true;
#endif

}  // namespace reliability
