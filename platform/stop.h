// The stop request of one call. The thread that called the core asks the
// caller's interrupt query while it waits for the workers; the workers only
// read the flag, between rows of their work, so a query that must run on
// the host's thread is never called from another.
#pragma once

#include <atomic>
#include <cstdint>

#include "call.h"

namespace platform {

class StopFlag {
 public:
  explicit StopFlag(const CallOptions& options)
      : query_(options.interrupt_query),
        context_(options.interrupt_context),
        progress_(options.progress) {}
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
    Report();
    return stopped();
  }

  // Progress, when the caller keeps it. The calling thread starts each pass
  // with the share of the call's work it stands for, [from, to), and the
  // steps it takes; the workers count each step done on steps() (null when
  // no progress is kept, so that a call without it costs nothing).
  void BeginPass(double from, double to, int64_t steps) {
    from_ = from;
    to_ = to;
    total_ = steps;
    steps_.store(0, std::memory_order_relaxed);
    Report();
  }
  std::atomic<int64_t>* steps() { return progress_ != nullptr ? &steps_ : nullptr; }

 private:
  void Report() {
    if (progress_ == nullptr) return;
    const auto done = static_cast<double>(steps_.load(std::memory_order_relaxed));
    const double share =
        total_ > 0 ? from_ + (to_ - from_) * (done < total_ ? done / total_ : 1.0) : from_;
    progress_->store(share, std::memory_order_relaxed);
  }

  bool (*query_)(void*);
  void* context_;
  std::atomic<double>* progress_;
  std::atomic<bool> stopped_{false};
  std::atomic<int64_t> steps_{0};
  double from_ = 0.0, to_ = 0.0;
  int64_t total_ = 0;
};

// A worker's step of a pass done, on a StopFlag's steps() (null: none kept).
inline void CountStep(std::atomic<int64_t>* steps) {
  if (steps != nullptr) steps->fetch_add(1, std::memory_order_relaxed);
}

// How often the calling thread asks while workers run.
inline constexpr int kPollMilliseconds = 25;

// The OS threads a call with these options runs on: its cap, never more
// than AvailableThreads().
int ThreadsFor(const CallOptions& options);

}  // namespace platform
