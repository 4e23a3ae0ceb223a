// How the slice axis is split among the workers.
#pragma once

#include <cstdint>

namespace tessary {

inline constexpr int kMaxWorkers = 8;

// One worker per slice, at most eight, at least one.
inline int WorkerCount(int slices) {
  if (slices > kMaxWorkers) return kMaxWorkers;
  if (slices < 1) return 1;
  return slices;
}

// A worker's slices, [first_slice, end_slice).
struct Slab {
  int first_slice;
  int end_slice;
};

// The slab of worker w of `workers`. w * slices is computed in 64 bits: with
// 32 bits it would overflow for volumes of more than 2^28 slices, and below
// that the quotients agree.
inline Slab SlabOf(int w, int workers, int slices) {
  const int64_t n = slices;
  return {static_cast<int>(w * n / workers), static_cast<int>((w + 1) * n / workers)};
}

// Neighbouring workers run in opposite directions: +1 forward, -1 backward.
inline int Direction(int w) { return w % 2 == 0 ? 1 : -1; }

}  // namespace tessary
