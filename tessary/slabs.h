// How the slice axis is split among the workers.
#pragma once

namespace tessary {

inline constexpr int kMaxWorkers = 8;

// One worker per slice, at most eight, at least one.
inline int WorkerCount(int slices) {
  if (slices > kMaxWorkers) return kMaxWorkers;
  if (slices < 1) return 1;
  return slices;
}

struct Slab {
  int first_slice;  // inclusive
  int end_slice;    // exclusive
  int direction;    // +1 forward, -1 backward
};

// The slab of worker w of `workers`. Neighbouring workers run in opposite
// directions.
Slab SlabOf(int w, int workers, int slices);

}  // namespace tessary
