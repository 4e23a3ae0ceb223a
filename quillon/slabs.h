// The split of the block-start slices among the eight workers of a pass.
#pragma once

namespace quillon {

inline constexpr int kWorkers = 8;

// A worker's block-start slices, [first_slice, end_slice); empty when
// end_slice <= first_slice.
struct Slab {
  int first_slice;
  int end_slice;
};

// Worker k of eight, for a volume of `slices` slices. Blocks start at slices
// 0 .. slices-4; the last worker takes the remainder of the integer division,
// and with fewer than eight start slices some slabs are empty.
inline Slab SlabOf(int k, int slices) {
  const int d = slices - 4;
  const int first = k * d / kWorkers;
  const int last = k == kWorkers - 1 ? kWorkers * d / kWorkers : (k + 1) * d / kWorkers - 1;
  return {first, last + 1};
}

}  // namespace quillon
