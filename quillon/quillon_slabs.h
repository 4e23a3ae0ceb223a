// The split of the block-start slices among the eight workers of a pass.
#pragma once

#include <algorithm>
#include <cstdint>

#include "call.h"

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
  const int64_t d = slices - 4;
  const auto first = static_cast<int>(k * d / kWorkers);
  const auto last = static_cast<int>(k == kWorkers - 1 ? d : (k + 1) * d / kWorkers - 1);
  return {first, last + 1};
}

// Worker k's slab of a chunk: the whole volume's slab k, in the chunk's
// slices, cut to the chunk's block starts; empty (end_slice == first_slice)
// where they miss the chunk.
inline Slab SlabOf(int k, int slices, const platform::Chunk& chunk) {
  if (chunk.whole_slices == 0) return SlabOf(k, slices);
  const Slab whole = SlabOf(k, chunk.whole_slices);
  const int first = std::max(whole.first_slice - chunk.first_slice, 0);
  const int end = std::min(whole.end_slice - chunk.first_slice, slices - 3);
  return first < end ? Slab{first, end} : Slab{first, first};
}

}  // namespace quillon
