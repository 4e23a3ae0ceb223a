// How the slice axis is split among the workers.
#pragma once

#include <algorithm>
#include <cstdint>

#include "call.h"

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

// The workers of a volume, or of a chunk: the whole volume's.
inline int WorkerCount(int slices, const platform::Chunk& chunk) {
  return WorkerCount(chunk.whole_slices == 0 ? slices : chunk.whole_slices);
}

// Worker w's slab of a chunk: the whole volume's slab w, in the chunk's
// slices, cut to the chunk; empty (end_slice == first_slice) where it
// misses the chunk.
inline Slab SlabOf(int w, int slices, const platform::Chunk& chunk) {
  if (chunk.whole_slices == 0) return SlabOf(w, WorkerCount(slices), slices);
  const Slab whole = SlabOf(w, WorkerCount(chunk.whole_slices), chunk.whole_slices);
  const int first = std::max(whole.first_slice - chunk.first_slice, 0);
  const int end = std::min(whole.end_slice - chunk.first_slice, slices);
  return first < end ? Slab{first, end} : Slab{first, first};
}

// Neighbouring workers run in opposite directions: +1 forward, -1 backward.
inline int Direction(int w) { return w % 2 == 0 ? 1 : -1; }

}  // namespace tessary
