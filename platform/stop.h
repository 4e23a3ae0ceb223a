// The stop request of one call. The thread that called the core asks the
// caller's interrupt query while it waits for the workers; the workers only
// read the flag, between rows of their work, so a query that must run on
// the host's thread is never called from another.
#pragma once

#include <atomic>

#include "call.h"

namespace platform {

class StopFlag {
 public:
  explicit StopFlag(const CallOptions& options)
      : query_(options.interrupt_query), context_(options.interrupt_context) {}
  StopFlag(const StopFlag&) = delete;
  StopFlag& operator=(const StopFlag&) = delete;

  // What the workers read: true once the call is to stop.
  const std::atomic<bool>* flag() const { return &stopped_; }
  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

  // The calling thread only: asks the query (once it has said yes, never
  // again) and returns whether the call is to stop.
  bool Poll() {
    if (!stopped() && query_ != nullptr && query_(context_))
      stopped_.store(true, std::memory_order_relaxed);
    return stopped();
  }

 private:
  bool (*query_)(void*);
  void* context_;
  std::atomic<bool> stopped_{false};
};

// How often the calling thread asks while workers run.
inline constexpr int kPollMilliseconds = 25;

// The OS threads a call with these options runs on: its cap, never more
// than AvailableThreads().
int ThreadsFor(const CallOptions& options);

}  // namespace platform
