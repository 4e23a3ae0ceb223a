// The split of the block-start slices among the eight workers of a pass.
#pragma once

namespace quillon {

inline constexpr int kWorkers = 8;

struct Slab {
  int first_slice;  // first block-start slice, inclusive
  int last_slice;   // last block-start slice, inclusive; empty when < first
};

// Worker k of eight, for a volume of `slices` slices. Blocks start at slices
// 0 .. slices-4; the last worker takes the remainder of the integer division,
// and with fewer than eight start slices some slabs are empty.
inline Slab SlabOf(int k, int slices) {
  const int d = slices - 4;
  const int first = k * d / kWorkers;
  const int last = k == kWorkers - 1 ? kWorkers * d / kWorkers : (k + 1) * d / kWorkers - 1;
  return {first, last};
}

}  // namespace quillon
