#include "row_spans.h"

#include <algorithm>

namespace platform {
namespace {

RowSpan Hull(RowSpan a, RowSpan b) {
  if (a.first > a.last) return b;
  if (b.first > b.last) return a;
  return {std::min(a.first, b.first), std::max(a.last, b.last)};
}

// out(i) = hull of in(i + d) for d in [first, last] with 0 <= i + d < n_in,
// along one axis of a grid whose lines along it are `lines` apart in both.
// The window is clipped to the input, so a reach of billions costs no more
// than the grid's side.
void HullAlong(const std::vector<RowSpan>& in, int n_in, std::vector<RowSpan>& out, int n_out,
               int64_t first, int64_t last, int lines, int in_stride_line, int in_stride,
               int out_stride_line, int out_stride) {
  for (int line = 0; line < lines; ++line) {
    for (int i = 0; i < n_out; ++i) {
      const int64_t lo = std::max<int64_t>(0, i + first);
      const int64_t hi = std::min<int64_t>(n_in - 1, i + last);
      RowSpan h = kNoRows;
      for (int64_t j = lo; j <= hi; ++j)
        h = Hull(h, in[static_cast<std::size_t>(line) * in_stride_line + j * in_stride]);
      out[static_cast<std::size_t>(line) * out_stride_line + static_cast<std::size_t>(i) * out_stride] = h;
    }
  }
}

}  // namespace

void KeepInputOutside(const unsigned char* mask, const double* input, double* volume,
                      std::size_t count) {
  for (std::size_t i = 0; i < count; ++i)
    if (mask[i] == 0) volume[i] = input[i];
}

SpanGrid MaskSpans(const unsigned char* mask, int rows, int cols, int slices) {
  SpanGrid grid{cols, slices, std::vector<RowSpan>(static_cast<std::size_t>(cols) * slices, kNoRows)};
  for (std::size_t line = 0; line < grid.spans.size(); ++line) {
    const unsigned char* m = mask + line * rows;
    RowSpan& span = grid.spans[line];
    for (int r = 0; r < rows; ++r) {
      if (m[r] == 0) continue;
      if (span.first > span.last) span.first = r;
      span.last = r;
    }
  }
  return grid;
}

SpanGrid Spread(const SpanGrid& in, int out_cols, int out_slices, const Reach& reach,
                int row_limit) {
  // Along the columns first (in.slices lines), then along the slices.
  std::vector<RowSpan> by_cols(static_cast<std::size_t>(out_cols) * in.slices);
  HullAlong(in.spans, in.cols, by_cols, out_cols, reach.dc_first, reach.dc_last, in.slices,
            in.cols, 1, out_cols, 1);
  SpanGrid out{out_cols, out_slices,
               std::vector<RowSpan>(static_cast<std::size_t>(out_cols) * out_slices)};
  HullAlong(by_cols, in.slices, out.spans, out_slices, reach.ds_first, reach.ds_last, out_cols, 1,
            out_cols, 1, out_cols);
  for (RowSpan& s : out.spans) {
    if (s.first > s.last) continue;
    const int64_t first = std::max<int64_t>(0, s.first + reach.dr_first);
    const int64_t last = std::min<int64_t>(row_limit, s.last + reach.dr_last);
    s = first > last ? kNoRows : RowSpan{static_cast<int>(first), static_cast<int>(last)};
  }
  return out;
}

}  // namespace platform
