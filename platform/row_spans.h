// Where a masked call has work to do: for every line of voxels along the
// rows (one per column and slice), the run of rows that matters. A worker
// that restricts its loops to these runs leaves out only work whose
// additions land on voxels nobody asked for; the additions a wanted voxel
// receives, and their order, stay those of the unmasked call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// Rows first .. last, inclusive; empty when first > last.
struct RowSpan {
  int first;
  int last;
};

inline constexpr RowSpan kNoRows{0, -1};

// A grid of spans, one per (column, slice), column fastest.
struct SpanGrid {
  int cols = 0;
  int slices = 0;
  std::vector<RowSpan> spans;
  const RowSpan& At(int c, int s) const { return spans[static_cast<std::size_t>(s) * cols + c]; }
};

// What a masked call leaves in the voxels it was not asked for: their
// input value.
void KeepInputOutside(const unsigned char* mask, const double* input, double* volume,
                      std::size_t count);

// The first and last set voxel of every row line of a column-major mask
// (non-zero bytes are set). Throws std::bad_alloc.
SpanGrid MaskSpans(const unsigned char* mask, int rows, int cols, int slices);

// How a grid of spans spreads to another: out(c, s) is the hull of
// in(c + dc, s + ds) over dc in [dc_first, dc_last] and ds in [ds_first,
// ds_last] (those inside in's grid), its rows then moved by [dr_first,
// dr_last] and clipped to [0, row_limit].
struct Reach {
  int64_t dc_first, dc_last, ds_first, ds_last, dr_first, dr_last;
};

// The grid of out_cols x out_slices spans that `in` reaches. Throws
// std::bad_alloc.
SpanGrid Spread(const SpanGrid& in, int out_cols, int out_slices, const Reach& reach,
                int row_limit);

}  // namespace platform
