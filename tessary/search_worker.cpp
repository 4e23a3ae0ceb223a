#include "search_worker.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "pair_weight.h"

namespace tessary {

namespace {

// Everything one worker needs per pair, read once from the record.
struct Worker {
  const NlmThreadArgs& a;
  const Context& ctx;
  bool squared;
  WeightConstants k;
  int plane;
  int spill_base;  // linear index of the first voxel past the slab

  explicit Worker(const NlmThreadArgs& args)
      : a(args),
        ctx(*args.context),
        squared(ctx.rician != 0),
        k(WeightConstantsFor(ctx.filter_h)),
        plane(ctx.rows * ctx.cols),
        spill_base(args.end_slice * ctx.rows * ctx.cols) {}

  // Weighs the pair (p, q) and adds each voxel's value into the other's
  // sums; q's sums are q_out[q_index] and q_weights[q_index].
  void Pair(int p, int q, double* q_out, double* q_weights, int q_index) const {
    double w;
    if (!PairWeight(ctx.mean_image[p], ctx.mean_image[q], ctx.guide_image[p], ctx.guide_image[q], k, w))
      return;
    const double vp = ctx.in_image[p];
    const double vq = ctx.in_image[q];
    if (squared) {
      ctx.out_image[p] += vq * (w * vq);
      ctx.weights[p] += w;
      q_out[q_index] += vp * (w * vp);
      q_weights[q_index] += w;
    } else {
      ctx.out_image[p] += w * vq;
      ctx.weights[p] += w;
      q_out[q_index] += w * vp;
      q_weights[q_index] += w;
    }
  }

  // The forward half window of centre (r, c, s): offsets positive in the
  // order (slice, column, row), ds outermost and dr innermost, each
  // ascending. The loop bounds are narrowed to the volume, which skips
  // exactly the offsets that would leave it, in the same order.
  void Centre(int r, int c, int s) const {
    const int p = r + c * ctx.rows + s * plane;
    if (ctx.in_image[p] == 0.0) return;
    const int R = ctx.search_radius;
    const int ds_end = std::min(R, ctx.slices - 1 - s);
    const int dc_last = std::min(R, ctx.cols - 1 - c);
    const int dr_last = std::min(R, ctx.rows - 1 - r);
    const int dc_first_ahead = std::max(-R, -c);
    const int dr_first_any = std::max(-R, -r);
    for (int ds = 0; ds <= ds_end; ++ds) {
      const bool own_slab = s + ds < a.end_slice;
      double* q_out = own_slab ? ctx.out_image : a.spill_out;
      double* q_weights = own_slab ? ctx.weights : a.spill_weights;
      const int q_offset = own_slab ? 0 : spill_base;
      for (int dc = ds == 0 ? 0 : dc_first_ahead; dc <= dc_last; ++dc) {
        const int dr_first = (ds == 0 && dc == 0) ? 1 : dr_first_any;
        for (int dr = dr_first; dr <= dr_last; ++dr) {
          const int q = p + dr + dc * ctx.rows + ds * plane;
          Pair(p, q, q_out, q_weights, q - q_offset);
        }
      }
    }
  }
};

}  // namespace

void ScalarThreadFunc(void* record) {
  const Worker worker(*static_cast<const NlmThreadArgs*>(record));
  const NlmThreadArgs& a = worker.a;
  const Context& ctx = worker.ctx;
  if (ctx.search_radius < 0) return;  // no voxel has a neighbour
  for (int s = a.first_slice; s < a.end_slice; ++s) {
    if (a.direction == 1) {
      for (int c = 0; c < ctx.cols && !StopRequested(ctx); ++c) {
        const platform::RowSpan span = CentreRows(ctx, c, s);
        for (int r = span.first; r <= span.last; ++r) worker.Centre(r, c, s);
      }
    } else {
      for (int c = ctx.cols - 1; c >= 0 && !StopRequested(ctx); --c) {
        const platform::RowSpan span = CentreRows(ctx, c, s);
        for (int r = span.last; r >= span.first; --r) worker.Centre(r, c, s);
      }
    }
  }
}

}  // namespace tessary
