// The block workers with one block per vector lane: lane l of a group holds
// the block that starts l rows after the group's first. Every lane runs the
// scalar sequence of its block, operation for operation, so the results are
// the scalar ones bit for bit; the row lines that neighbouring blocks share
// are transformed once (row_line_ring.h).
//
// Written once against the lane vocabulary of platform/lanes.h; included
// only by the kernel files, each compiled for one instruction set with its
// lanes (all of it in an anonymous namespace, so no copy compiled for a
// wider set can stand in for another).
#pragma once

#include <cmath>
#include <new>

#include "block_access.h"
#include "dc_bound.h"
#include "quillon_context.h"
#include "lane_transforms.h"
#include "row_line_ring.h"
#include "workers.h"

namespace quillon {
namespace {

inline int MinInt(int a, int b) { return a < b ? a : b; }
inline int MaxInt(int a, int b) { return a > b ? a : b; }

// coefficient = 0 where limit > magnitude, else one more kept.
template <class V>
inline void ClearBelow(typename V::D limit, typename V::D magnitude, typename V::D& coefficient,
                       typename V::D& kept) {
  const typename V::M clear = V::Greater(limit, magnitude);
  coefficient = V::Select(clear, V::Zero(), coefficient);
  kept = V::Add(kept, V::Select(clear, V::Zero(), V::Set(1.0)));
}

// The scalar Corrected, lane by lane: lanes inside the table gather their
// entry (the others' indices are never read) and take it unless it exceeds
// 2x. Inside the table x and its entry are finite, so "not 2x < y" is
// "y <= 2x", and x + x is 2x exactly.
template <class V>
inline typename V::D CorrectedLanes(typename V::D x, const double* table, int length) {
  if (length <= 0) return x;
  const typename V::M inside = V::And(V::Greater(x, V::Set(-1.0)),
                                      V::Less(x, V::Set(static_cast<double>(length))));
  const typename V::D y = V::Gather(table, V::TruncateToInt(x), inside);
  return V::Select(V::And(inside, V::LessEqual(y, V::Add(x, x))), y, x);
}

// Adds c[k] lane l into row[l + k], for k = 3, 2, 1, 0 in turn. With four
// lanes or more the voxels row[0 .. N+2] are read and written once, as two
// vectors, the shifted contributions added in registers; the second vector
// touches only its first three lanes, which keeps it inside the row.
template <class V>
inline void AddShifted(double* row, const typename V::D* c) {
  if constexpr (V::N >= 4) {
    typename V::D low = V::Load(row);
    low = V::Add(low, V::template ShiftUp<3>(c[3]));
    low = V::Add(low, V::template ShiftUp<2>(c[2]));
    low = V::Add(low, V::template ShiftUp<1>(c[1]));
    low = V::Add(low, c[0]);
    V::Store(row, low);
    typename V::D high = V::LoadFirst3(row + V::N);
    high = V::Add(high, V::template ShiftDown<V::N - 3>(c[3]));
    high = V::Add(high, V::template ShiftDown<V::N - 2>(c[2]));
    high = V::Add(high, V::template ShiftDown<V::N - 1>(c[1]));
    V::StoreFirst3(row + V::N, high);
  } else {
    for (int k = 3; k >= 0; --k) V::Store(row + k, V::Add(V::Load(row + k), c[k]));
  }
}

// The row-line ring of a pass: the noisy volume's lines, and in the oracle
// pass the first estimate's.
template <class V, bool kOracle>
using PassRing = RowLineRing<V, kOracle ? 2 : 1>;

// Adds a block group's contributions into the sums, contribution(i) for
// block element i, and w_added into the weights. Lane l adds element k
// into voxel r0 + l + k. Taking k from 3 down to 0 hands every voxel its
// blocks' contributions in ascending block order, the order of the scalar
// traversal; skipped lanes add +0.0, which leaves a sum unchanged (no sum
// is ever -0.0).
template <class V, class Contribution>
inline void AddInto(const BlockTargets& target, int rows, int r0, int c0,
                    typename V::D w_added, const Contribution& contribution) {
  using reg = typename V::D;
  const reg same[4] = {w_added, w_added, w_added, w_added};
  for (int p = 0; p < 4; ++p) {
    for (int j = 0; j < 4; ++j) {
      double* sum = target.sum[p] + r0 + (c0 + j) * rows;
      double* weight = target.weight[p] + r0 + (c0 + j) * rows;
      reg c[4];
      for (int k = 0; k < 4; ++k) c[k] = contribution(k + 4 * j + 16 * p);
      AddShifted<V>(sum, c);
      AddShifted<V>(weight, same);
    }
  }
}

// Adds a group of blocks whose coefficients are all +0 but the first, `dc`,
// of which `kept` counts the lanes' kept ones (0 or 1). The inverse
// transform gives each voxel of a lane's block the same value, its first
// coefficient times W1 three times (the other terms are +0 and change no
// sum that is not zero), so the value is made, and corrected, once per lane
// instead of 64 times.
template <class V>
void AddDcBlocks(const DctThreadArgs& a, const BlockTargets& target, const VectorTables<V>& t,
                 bool correct, typename V::D dc, typename V::D kept, int r0, int c0,
                 typename V::M skip) {
  using reg = typename V::D;
  const Context& ctx = *a.context;
  const reg one = V::Set(1.0);
  const reg w = V::Div(one, V::Add(kept, one));
  const reg x = V::Mul(V::Mul(V::Mul(dc, t.w1), t.w1), t.w1);
  const reg contribution = correct ? V::Mul(CorrectedLanes<V>(x, a.bias_table, ctx.bias_len), w)
                                   : V::Mul(w, x);
  const reg added = V::Select(skip, V::Zero(), contribution);
  AddInto<V>(target, ctx.rows, r0, c0, V::Select(skip, V::Zero(), w),
             [added](int) { return added; });
}

// Whether every lane not skipped is in `lanes`.
template <class V>
inline bool EveryLaneOrSkipped(typename V::M lanes, typename V::M skip) {
  return V::All(V::FromBits(V::Bits(lanes) | V::Bits(skip)));
}

// The oracle pass's group when every lane's first estimate is sure to keep
// no coefficient but its first (or the lane is skipped): the noisy block's
// other coefficients are all cleared, and neither block is transformed past
// its row lines. Returns false, with nothing done, when a lane may keep
// more.
template <class V>
bool OnlyDcGroup(const DctThreadArgs& a, const BlockTargets& target, const VectorTables<V>& t,
                 const PassRing<V, true>& ring, typename V::D threshold, bool correct, int r0,
                 int c0, typename V::M skip) {
  using reg = typename V::D;
  reg squares, magnitudes;
  ring.Energy(1, r0, c0, squares, magnitudes);
  const reg estimate_dc = ring.Dc(1, r0, c0, t);
  if (!EveryLaneOrSkipped<V>(OnlyDcSurvives<V>(estimate_dc, squares, magnitudes, threshold), skip))
    return false;
  reg kept = V::Zero();
  reg dc = ring.Dc(0, r0, c0, t);
  ClearBelow<V>(threshold, V::Abs(estimate_dc), dc, kept);
  AddDcBlocks<V>(a, target, t, correct, dc, kept, r0, c0, skip);
  return true;
}

// Lane l's position, for telling lanes apart.
alignas(64) constexpr double kLaneIndex[8] = {0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0};

// The blocks at block rows r0 .. r0+N-1, but for the first `first_lane`
// lanes, whose blocks are left alone.
template <class V, bool kOracle>
void Group(const DctThreadArgs& a, const BlockTargets& target, const VectorTables<V>& t,
           PassRing<V, kOracle>& ring, typename V::D threshold, bool correct, int r0, int c0,
           int s0, int first_lane) {
  using reg = typename V::D;
  const Context& ctx = *a.context;
  const int rows = ctx.rows;
  reg block[64];
  reg coefficients[64];
  ring.Hold(0, r0, c0, s0, t);
  // The scalar Contributes, negated: not positive (0 or NaN). A lane left
  // alone is skipped as a block of zeros would be.
  reg largest = ring.Largest(r0, c0);
  if (first_lane > 0)
    largest = V::Select(V::Less(V::Load(kLaneIndex), V::Set(first_lane)), V::Zero(), largest);
  const typename V::M skip = V::NotGreater(largest, V::Zero());
  if (V::All(skip)) return;
  // The thresholds apply to each coefficient as the forward transform makes
  // it, which saves a pass over the block. The count of kept coefficients
  // is of whole numbers, exact in any order.
  reg kept = V::Zero();
  reg dc_kept = V::Zero();  // the count after coefficient 0, the first made
  if constexpr (kOracle) {
    ring.Hold(1, r0, c0, s0, t);
    if (OnlyDcGroup<V>(a, target, t, ring, threshold, correct, r0, c0, skip)) return;
    ring.Forward(0, r0, c0, t, [&coefficients](int i, reg x) { coefficients[i] = x; });
    ring.Forward(1, r0, c0, t, [&](int i, reg estimate) {
      ClearBelow<V>(threshold, V::Abs(estimate), coefficients[i], kept);
      if (i == 0) dc_kept = kept;
    });
  } else {
    ring.Forward(0, r0, c0, t, [&](int i, reg x) {
      ClearBelow<V>(threshold, V::Abs(x), x, kept);
      coefficients[i] = x;
      if (i == 0) dc_kept = kept;
    });
  }
  // Where no lane keeps more than its first coefficient, the inverse
  // transform is a product per lane.
  if (EveryLaneOrSkipped<V>(V::Equal(kept, dc_kept), skip))
    return AddDcBlocks<V>(a, target, t, correct, coefficients[0], kept, r0, c0, skip);
  const reg one = V::Set(1.0);
  const reg w = V::Div(one, V::Add(kept, one));
  Transform3<V, false>(coefficients, block, t);
  const reg w_added = V::Select(skip, V::Zero(), w);
  AddInto<V>(target, rows, r0, c0, w_added, [&](int i) {
    const reg x = block[i];
    const reg contribution = kOracle && correct
                                 ? V::Mul(CorrectedLanes<V>(x, a.bias_table, ctx.bias_len), w)
                                 : V::Mul(w, x);
    return V::Select(skip, V::Zero(), contribution);
  });
}

template <class V, bool kOracle>
void RowsOfBlocks(const DctThreadArgs& a, PassRing<V, kOracle>& ring) {
  const Context& ctx = *a.context;
  const VectorTables<V> t(ctx.transforms);
  const double threshold = kOracle ? ctx.sigma : 2.7 * ctx.sigma;
  // The scalar workers keep a coefficient c unless threshold > trunc(|c|).
  // The integer trunc(|c|) lies below the threshold exactly when it lies
  // below ceil(threshold), and so does |c| itself: the lanes compare |c|
  // with ceil(threshold) and save the truncation (NaN and the infinities
  // agree too).
  const typename V::D vector_threshold = V::Set(std::ceil(threshold));
  const bool correct = kOracle && ctx.rician > 0;
  const int first_col = FirstColumn(a), last_col = LastColumn(a);
  for (int s0 = a.first_slice; s0 <= a.last_slice; ++s0) {
    if (!BeginBlockRow(a, s0)) return;
    const BlockTargets target = TargetsFor(a, kOracle ? ctx.acc_image : ctx.out_image, s0);
    for (int c0 = first_col; c0 <= last_col; BlockColumnDone(a, s0, c0), ++c0) {
      if (StopRequested(ctx)) return;
      const platform::RowSpan span = BlockRows(ctx, kOracle, c0, s0);
      if (span.first > span.last) continue;
      // A masked row's blocks are widened to whole groups where the row
      // allows: blocks done one by one cost several lanes each, and the
      // extra blocks add only into voxels that no wanted voxel reads. Where
      // a group starts changes no bits: every voxel still takes its blocks'
      // contributions in ascending block order.
      const int whole = (span.last - span.first + V::N) / V::N * V::N;
      const int last_r0 = MinInt(span.first + whole - 1, ctx.rows - 4);
      int r0 = MaxInt(0, last_r0 - whole + 1);
      // A group's last lane adds up to three voxels past its start, which
      // stays inside the row while that lane is a real block position.
      for (; r0 + V::N - 1 <= last_r0; r0 += V::N)
        Group<V, kOracle>(a, target, t, ring, vector_threshold, correct, r0, c0, s0, 0);
      // The blocks past the last whole group: one more group that ends on
      // the row's last block, its lanes over blocks done already left
      // alone, where the row holds a group. Those lanes add +0.0, which
      // changes no sum; done one by one, the blocks cost several lanes each.
      if (r0 <= last_r0 && last_r0 - (V::N - 1) >= 0) {
        const int start = last_r0 - (V::N - 1);
        Group<V, kOracle>(a, target, t, ring, vector_threshold, correct, start, c0, s0,
                          r0 - start);
        r0 = last_r0 + 1;
      }
      for (; r0 <= last_r0; ++r0) {
        if constexpr (kOracle) {
          OracleBlock(a, target, r0, c0, s0);
        } else {
          HardThresholdBlock(a, target, threshold, r0, c0, s0);
        }
      }
    }
    platform::RowDone(a.band, s0);
  }
}

// A worker's slab. Its ring's storage is taken and given back by hand: with
// a destructor in scope the object would refer to the unwinding personality,
// a symbol the linker may share with baseline code. Without the storage the
// slab is done the plain scalar way, which gives the same bits.
template <class V, bool kOracle>
void SlabOfBlocks(const DctThreadArgs& a) {
  using Ring = PassRing<V, kOracle>;
  const Context& ctx = *a.context;
  void* storage = ::operator new(sizeof(double) * Ring::Doubles(ctx.rows), std::nothrow);
  if (storage == nullptr) return kOracle ? OracleSlab(a) : HardThresholdSlab(a);
  const double* const volumes[] = {ctx.in_image, ctx.out_image};
  Ring ring(volumes, ctx.rows, ctx.rows * ctx.cols, static_cast<double*>(storage));
  RowsOfBlocks<V, kOracle>(a, ring);
  ::operator delete(storage);
}

}  // namespace
}  // namespace quillon
