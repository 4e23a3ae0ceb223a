// The search kernel, written once over the lane vocabulary of
// platform/lanes.h and compiled once per instruction set: one lane of plain
// C++ (search_scalar.cpp, every processor), SSE2, AVX2 and AVX-512
// (search_sse2.cpp, search_avx2.cpp, search_avx512.cpp). Only those files
// include it.
//
// The worker visits the centres of its slab column by column; for each
// window offset (ds, dc, dr) in window order, consecutive centres down a
// column have consecutive neighbours, so each lane takes one centre: the
// lanes load their centres' and neighbours' values side by side and run the
// pair's arithmetic operation for operation. Lanes the centre test or the
// gate turns away keep their sums untouched (their old values are stored
// back). (Where two different not-a-numbers meet in one operation, which of
// them comes through is the compiler's choice of operand order; such a
// weight is not a number either way.)
//
// A voxel's sums receive their additions in an order fixed by the groups of
// eight centres a column's run is cut into, from the run's start, whatever
// the vector width: a group is eight lanes of AVX-512, two vectors of AVX2,
// four of SSE2 or eight single lanes, and all its additions into its
// centres come before all those into its neighbours. The rows past the last
// whole group go through the pair code one by one. So every instruction set
// gives the scalar build's bits.
//
// The weight avoids the two divisions where it can, with the same bits:
// when dg * dg <= 2h^2 the guide term is exactly +0 (see GuideTerm), and the
// weight then depends on K alone; with K in 0..7 it comes from a table of
// those eight weights, made by the pair code (pair_weight.h) once per
// worker. The other accepted lanes (a guide difference past that, a K
// outside the table) are weighed on lanes, the exponential included
// (platform/exp_lanes.h): a branch per lane there would cost more than all
// the rest of the pair, as the data make it unpredictable. A lane whose
// weight is not a number, and a kernel that cannot run the library's
// exponential on lanes (SSE2 where the library fuses), go through the pair
// code one by one.
//
// V is one of the lane structs of platform/lanes.h.
//
// Everything here has internal linkage (V is a type of an unnamed
// namespace, and the helpers live in one too): code built for a wider
// instruction set must never be shared with the baseline code.
#pragma once

#include <cmath>

#include "context.h"
#include "exp.h"
#include "exp_lanes.h"
#include "pair_weight.h"
#include "search_worker.h"

namespace tessary {
namespace {

inline int MinInt(int a, int b) { return a < b ? a : b; }
inline int MaxInt(int a, int b) { return a > b ? a : b; }

// Where one window offset's neighbours add into.
struct Targets {
  double* out;
  double* weights;
  int offset;  // subtracted from a neighbour's linear index
};

// The centres of a run go kGroup at a time on every instruction set, as
// kGroup / N vectors of N lanes: the widest vector's eight lanes.
constexpr int kGroup = 8;

template <class V>
class LaneWorker {
  using D = typename V::D;
  using M = typename V::M;
  static constexpr int kVectors = kGroup / V::N;
  static_assert(kGroup % V::N == 0);

 public:
  LaneWorker(const Context& c, const NlmThreadArgs& a)
      : c_(c),
        a_(a),
        k_(WeightConstantsFor(c.filter_h)),
        squared_(c.rician != 0),
        plane_(c.rows * c.cols),
        spill_base_(a.end_slice * c.rows * c.cols),
        // Outside 0 < 2h^2 < infinity no lane takes the table: dg * dg is
        // never below -1.
        guide_limit_(k_.two_h2 > 0.0 && k_.two_h2 < HUGE_VAL ? k_.two_h2 : -1.0),
        fused_exp_(ExpIsFused()),
        exp_on_lanes_(ExpRunsOnLanes()),
        exp_tables_(platform::TheExpLaneTables()) {
    for (int K = 0; K < 8; ++K) table_[K] = WeightOfTerms(0.0, MeanTerm(K, k_));
  }

  void Run() const {
    if (c_.search_radius < 0) return;  // no voxel has a neighbour
    for (int s = a_.first_slice; s < a_.end_slice; ++s) {
      if (a_.direction == 1) {
        for (int c = 0; c < c_.cols && !StopRequested(c_); ++c) Column(c, s);
      } else {
        for (int c = c_.cols - 1; c >= 0 && !StopRequested(c_); --c) Column(c, s);
      }
    }
  }

  // The gate and weight of n pairs given by their values (the test entry).
  void Weigh(int n, const double* centre, const double* mean_p, const double* mean_q,
             const double* guide_p, const double* guide_q, double* w,
             unsigned char* passed) const {
    const Constants c = MakeConstants();
    const int full = n - n % V::N;
    for (int i = 0; i < full; i += V::N) {
      M pass;
      V::Store(w + i, WeighChunk(c, centre + i, mean_p + i, mean_q + i, guide_p + i, guide_q + i,
                                 pass));
      for (int j = 0; j < V::N; ++j) passed[i + j] = (V::Bits(pass) >> j) & 1u;
    }
    for (int i = full; i < n; ++i)
      passed[i] =
          centre[i] != 0.0 && PairWeight(mean_p[i], mean_q[i], guide_p[i], guide_q[i], k_, w[i]);
  }

 private:
  // Every offset of the forward half window for the centres of column c of
  // slice s, in window order, cut to the volume; the row bounds apply to
  // the run of centres instead of to each centre.
  void Column(int c, int s) const {
    const int R = c_.search_radius;
    const int rows = c_.rows;
    const int column = c * rows + s * plane_;
    const int ds_end = MinInt(R, c_.slices - 1 - s);
    const int dc_last = MinInt(R, c_.cols - 1 - c);
    const int dc_first_ahead = MaxInt(-R, -c);
    const platform::RowSpan span = CentreRows(c_, c, s);
    if (span.first > span.last) return;
    for (int ds = 0; ds <= ds_end; ++ds) {
      const bool own_slab = s + ds < a_.end_slice;
      const Targets t{own_slab ? c_.out_image : a_.spill_out,
                      own_slab ? c_.weights : a_.spill_weights, own_slab ? 0 : spill_base_};
      for (int dc = ds == 0 ? 0 : dc_first_ahead; dc <= dc_last; ++dc) {
        // A row offset of rows or more leaves the column for every centre:
        // stopping short of those skips nothing that would be weighed, and
        // keeps a radius near the int limit from overflowing dr or walking
        // billions of empty offsets.
        const int dr_first = (ds == 0 && dc == 0) ? 1 : MaxInt(-R, 1 - rows);
        const int dr_last = MinInt(R, rows - 1);
        for (int dr = dr_first; dr <= dr_last; ++dr) {
          const int r_first = MaxInt(0, -dr);
          const int r_end = MinInt(rows, rows - dr);
          if (r_end <= r_first) continue;
          int first = r_first, end = r_end;
          if (!Within(span, first, end)) continue;
          Run(column + first, end - first, dr + dc * rows + ds * plane_, t);
        }
      }
    }
  }

  // Narrows the run of centres [first, end) to those of span. A voxel's
  // additions arrive in an order that depends on where the groups of a run
  // start, so the narrowed run keeps the whole run's groups: it starts on
  // one of their starts, and ends on one, or at the run's end when the span
  // reaches into the rows done one by one. False when nothing is left.
  static bool Within(platform::RowSpan span, int& first, int& end) {
    const int lo = MaxInt(first, span.first);
    const int hi = MinInt(end, span.last + 1);
    if (hi <= lo) return false;
    const int vectors_end = end - (end - first) % kGroup;
    const int start = first + (lo - first) / kGroup * kGroup;
    if (hi <= vectors_end) end = first + (hi - first + kGroup - 1) / kGroup * kGroup;
    first = start;
    return true;
  }

  // The centres p0 .. p0 + n - 1, each with the neighbour p + offset, a
  // group of kGroup at a time: all the group's additions into its centres,
  // then all those into its neighbours. A voxel that is both a centre and a
  // neighbour in one group so receives its two additions in the same order
  // on every vector width.
  void Run(int p0, int n, int offset, const Targets& t) const {
    const Constants c = MakeConstants();
    const double* in = c_.in_image;
    const double* mean = c_.mean_image;
    const double* guide = c_.guide_image;
    double* out = c_.out_image;
    double* weights = c_.weights;
    const int full = n - n % kGroup;
    for (int i = 0; i < full; i += kGroup) {
      M pass[kVectors];
      D w[kVectors];
      for (int v = 0; v < kVectors; ++v) {
        const int p = p0 + i + v * V::N;
        w[v] = WeighChunk(c, in + p, mean + p, mean + p + offset, guide + p, guide + p + offset,
                          pass[v]);
      }
      for (int v = 0; v < kVectors; ++v) {
        const int p = p0 + i + v * V::N;
        const D vq = V::Load(in + p + offset);
        AddInto(out + p, pass[v], squared_ ? V::Mul(vq, V::Mul(w[v], vq)) : V::Mul(w[v], vq));
        AddInto(weights + p, pass[v], w[v]);
      }
      for (int v = 0; v < kVectors; ++v) {
        const int p = p0 + i + v * V::N;
        const int tq = p + offset - t.offset;
        const D vp = V::Load(in + p);
        AddInto(t.out + tq, pass[v], squared_ ? V::Mul(vp, V::Mul(w[v], vp)) : V::Mul(w[v], vp));
        AddInto(t.weights + tq, pass[v], w[v]);
      }
    }
    for (int i = full; i < n; ++i) ScalarPair(p0 + i, p0 + i + offset, t);
  }

  struct Constants {
    D zero, half, one, eight, ten, h, two_h2, half_h2, guide_limit;
    typename V::Table8 table;
  };

  Constants MakeConstants() const {
    return Constants{V::Set(0.0),      V::Set(0.5),       V::Set(1.0),
                     V::Set(8.0),      V::Set(10.0),      V::Set(k_.h),
                     V::Set(k_.two_h2), V::Set(k_.half_h2), V::Set(guide_limit_),
                     V::MakeTable8(table_)};
  }

  // Whether the library's exponential is its fused build, and whether this
  // kernel can run that build on lanes: always where it is unfused, and with
  // fused multiply-add built in and on the processor where it is fused. The
  // one-lane build never does: for it the pair code is the lane code.
  static bool ExpIsFused() {
    if constexpr (V::N > 1) {
      return platform::ExpUsesFused();
    } else {
      return false;
    }
  }
  static bool ExpRunsOnLanes() {
    if constexpr (V::N > 1) {
      return !platform::ExpUsesFused() || (V::kFusedMulAdd && platform::HasFusedMulAdd());
    } else {
      return false;
    }
  }

  // The centre test and the gate of N consecutive pairs into pass, and
  // their weights (unspecified in the lanes that did not pass). Every lane
  // is weighed whatever its gate said: that costs less than a branch on the
  // gate, which data make unpredictable.
  D WeighChunk(const Constants& c, const double* centre, const double* mean_p,
               const double* mean_q, const double* guide_p, const double* guide_q,
               M& pass) const {
    // |trunc32(difference)|, the most negative integer for what does not
    // fit, which the absolute value leaves as it is, as GateDistance does.
    const typename V::I k = V::AbsInt(V::TruncateToInt(V::Sub(V::Load(mean_p), V::Load(mean_q))));
    const D K = V::ToDouble(k);
    pass = V::And(V::NotEqual(V::Load(centre), c.zero), V::NotGreater(K, c.h));
    const D dg = V::Sub(V::Load(guide_p), V::Load(guide_q));
    const M tabled = V::And(V::And(V::LessEqual(V::Mul(dg, dg), c.guide_limit),
                                   V::LessEqual(c.zero, K)),
                            V::Less(K, c.eight));
    const D w = V::Lookup8(c.table, k);
    const M rest_lanes = V::AndNot(pass, tabled);
    const unsigned rest = V::Bits(rest_lanes);
    if (rest == 0) return w;
    if constexpr (V::N > 1) {
      if (exp_on_lanes_) {
        // GuideTerm, MeanTerm and WeightOfTerms, operation for operation.
        const D G = Clamped(V::Sub(V::Div(V::Mul(dg, dg), c.two_h2), c.one), c.zero);
        const D mean_term = Clamped(V::Sub(V::Div(V::Mul(K, K), c.half_h2), c.one), c.zero);
        const D d = V::Add(V::Mul(c.half, G), V::Mul(c.half, mean_term));
        if (V::Bits(V::And(rest_lanes, V::NotEqual(d, d))) == 0) {
          const M one = V::LessEqual(d, c.zero);
          const M none = V::Greater(d, c.ten);
          // 0 < d <= 10 here: the exponent -d lies in [-10, 0).
          const M exps = V::AndNot(V::AndNot(rest_lanes, one), none);
          const D minus_d = V::Sub(c.zero, d);
          D e;
          if constexpr (V::kFusedMulAdd) {
            e = fused_exp_ ? platform::ExpLanes<V, true>(minus_d, exps, exp_tables_)
                           : platform::ExpLanes<V, false>(minus_d, exps, exp_tables_);
          } else {
            e = platform::ExpLanes<V, false>(minus_d, exps, exp_tables_);
          }
          return V::Select(rest_lanes, V::Select(one, c.one, V::Select(none, c.zero, e)), w);
        }
      }
    }
    // The pair code, lane by lane.
    double lanes[V::N];
    V::Store(lanes, w);
    for (int j = 0; j < V::N; ++j)
      if ((rest >> j) & 1u)
        PairWeight(mean_p[j], mean_q[j], guide_p[j], guide_q[j], k_, lanes[j]);
    return V::Load(lanes);
  }

  // A term below 0 becomes +0; one that is not a number stays so.
  static D Clamped(D term, D zero) { return V::Select(V::Less(term, zero), zero, term); }

  // A turned-away lane stores its sum back unchanged.
  static void AddInto(double* sum, M pass, D x) {
    const D old = V::Load(sum);
    V::StoreWhere(sum, pass, V::Add(old, x), old);
  }

  // One pair, past a run's last whole group.
  void ScalarPair(int p, int q, const Targets& t) const {
    const double vp = c_.in_image[p];
    if (vp == 0.0) return;
    double w;
    if (!PairWeight(c_.mean_image[p], c_.mean_image[q], c_.guide_image[p], c_.guide_image[q], k_,
                    w))
      return;
    const double vq = c_.in_image[q];
    const int qi = q - t.offset;
    if (squared_) {
      c_.out_image[p] += vq * (w * vq);
      c_.weights[p] += w;
      t.out[qi] += vp * (w * vp);
      t.weights[qi] += w;
    } else {
      c_.out_image[p] += w * vq;
      c_.weights[p] += w;
      t.out[qi] += w * vp;
      t.weights[qi] += w;
    }
  }

  const Context& c_;
  const NlmThreadArgs& a_;
  WeightConstants k_;
  bool squared_;
  int plane_;
  int spill_base_;
  double guide_limit_;   // dg * dg up to this gives a guide term of +0
  double table_[8];      // the weight for a guide term of +0, by K
  bool fused_exp_;       // the library's exponential is its fused build
  bool exp_on_lanes_;    // and this kernel runs it on lanes
  const platform::ExpLaneTables& exp_tables_;
};

}  // namespace
}  // namespace tessary
