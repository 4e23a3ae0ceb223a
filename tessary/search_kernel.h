// The search kernel, written once over the lane vocabulary of
// platform/lanes.h and compiled once per instruction set: one lane of plain
// C++ (search_scalar.cpp, every processor), SSE2, AVX2 and AVX-512
// (search_sse2.cpp, search_avx2.cpp, search_avx512.cpp). Only those files
// include it.
//
// The worker visits the centres of its slab column by column, and a
// column's centres in groups of eight rows from row 0 (the last group may
// hold fewer). For each offset of the forward half window, the group's
// centres have consecutive neighbours, so each lane takes one centre: the
// lanes load their neighbours' values side by side and run the pair's
// arithmetic operation for operation. A group is eight lanes of AVX-512,
// two vectors of AVX2, four of SSE2 or eight single lanes.
//
// The order of a voxel's additions is fixed by the groups, whatever the
// vector width, so every instruction set gives the scalar build's bits:
//   - a group takes its offsets by row offset, then slice, then column
//     offset; each pair adds into its neighbour's sums as it is weighed
//     (the neighbours of one offset are eight different voxels, so the
//     lanes' order among themselves does not matter);
//   - each centre's own additions go into sums held in registers, from
//     -0.0 (the exact identity of addition), in the same order, and those
//     are added into the centre's sums when the group is done.
// The centres' sums then cost no memory traffic per pair, and taking the
// row offset first keeps two consecutive offsets from adding into
// overlapping stretches of memory, where each load would wait for the
// store before it. Lanes the centre test or the gate turns away, and lanes
// whose neighbour row lies outside the column, keep their sums untouched.
// (Where two different not-a-numbers meet in one operation, which of them
// comes through is the compiler's choice of operand order; such a weight is
// not a number either way.)
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
#include <cstdint>

#include "tessary_context.h"
#include "exp.h"
#include "exp_lanes.h"
#include "pair_weight.h"
#include "search_worker.h"

namespace tessary {
namespace {

inline int MinInt(int a, int b) { return a < b ? a : b; }
inline int MaxInt(int a, int b) { return a > b ? a : b; }

// The volumes a group reads its neighbours' values from.
struct Sources {
  const double* in;
  const double* mean;
  const double* guide;
};

// Where one window offset's neighbours add into.
struct Targets {
  double* out;
  double* weights;
  int offset;  // subtracted from a neighbour's linear index
};

// A column's centres go kGroup rows at a time on every instruction set, as
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
    if (squared_) {
      Slices<true>();
    } else {
      Slices<false>();
    }
  }

  // The gate and weight of n pairs given by their values (the test entry).
  void Weigh(int n, const double* centre, const double* mean_p, const double* mean_q,
             const double* guide_p, const double* guide_q, double* w,
             unsigned char* passed) const {
    const Constants c = MakeConstants();
    const int full = n - n % V::N;
    for (int i = 0; i < full; i += V::N) {
      Gated g = Gate(c, V::NotEqual(V::Load(centre + i), c.zero), V::Load(mean_p + i),
                     V::Load(mean_q + i), V::Load(guide_p + i), V::Load(guide_q + i));
      if (V::Bits(g.rest) != 0) g.w = RestWeights(c, g.dg, g.K, g.rest, g.w);
      V::Store(w + i, g.w);
      for (int j = 0; j < V::N; ++j) passed[i + j] = (V::Bits(g.pass) >> j) & 1u;
    }
    for (int i = full; i < n; ++i)
      passed[i] =
          centre[i] != 0.0 && PairWeight(mean_p[i], mean_q[i], guide_p[i], guide_q[i], k_, w[i]);
  }

 private:
  struct Constants {
    D zero, minus_zero, half, one, eight, ten, h, two_h2, half_h2, guide_limit;
    typename V::Table8 table;
  };

  // The centre test and the gate of N pairs, and the table's weights.
  struct Gated {
    M pass;  // the lanes of `live` that the gate lets through
    M rest;  // those of pass whose weight the table does not hold
    D w;     // the table's weight (unspecified outside pass and in rest)
    D dg, K; // the guide difference and the gate distance
  };

  // What a group's centres hold through its window: their values, means
  // and guide values, which lanes are centres, and the sums of the additions
  // they receive as centres, kept in registers until the group is done.
  struct Centres {
    D value[kVectors], mean[kVectors], guide[kVectors];
    M centre[kVectors];
    D out[kVectors], weights[kVectors];
  };

  // The slab's columns of centres (its band's, when it has bands), in the
  // worker's direction. A centre adds into R columns on either side, so a
  // band's first 2R columns reach what the band before it adds into.
  template <bool kSquared>
  void Slices() const {
    const platform::BandPlace& band = a_.band;
    const bool banded = band.own != nullptr;
    const int first = banded ? band.first_column : 0;
    const int last = banded ? band.last_column : c_.cols - 1;
    const int64_t head = 2 * int64_t{c_.search_radius};
    for (int s = a_.first_slice; s < a_.end_slice; ++s) {
      if (banded && !platform::BeginRow(band, s, c_.stop)) return;
      if (a_.direction == 1) {
        for (int c = first; c <= last && !StopRequested(c_); ++c) {
          Column<kSquared>(c, s);
          if (int64_t{c} - first + 1 == head) platform::HeadsDone(band, s);
        }
      } else {
        for (int c = last; c >= first && !StopRequested(c_); --c) {
          Column<kSquared>(c, s);
          if (int64_t{last} - c + 1 == head) platform::HeadsDone(band, s);
        }
      }
      platform::RowDone(band, s);
    }
  }

  // The centres of column c of slice s, kGroup rows at a time from row 0
  // (the last group may have fewer rows). The groups sit at the same rows
  // whatever the span, so a masked call adds in the unmasked call's order.
  template <bool kSquared>
  void Column(int c, int s) const {
    const platform::RowSpan span = CentreRows(c_, c, s);
    if (span.first > span.last) return;
    const int column = c * c_.rows + s * plane_;
    for (int g = span.first - span.first % kGroup;;) {
      Group<kSquared>(c, s, column, g);
      if (span.last - g < kGroup) break;
      g += kGroup;
    }
  }

  // The rows g .. g + kGroup - 1 of a column as centres (those inside the
  // column), each with every neighbour of the forward half window inside
  // the volume, in the order given at the top of this file.
  template <bool kSquared>
  void Group(int c, int s, int column, int g) const {
    const int R = c_.search_radius;
    const int rows = c_.rows;
    const int lanes = MinInt(kGroup, rows - g);
    const unsigned in_column = (1u << lanes) - 1u;
    const int p0 = column + g;
    const Constants k = MakeConstants();
    Centres p;
    unsigned centres = 0;
    for (int v = 0; v < kVectors; ++v) {
      const M here = LanesOf(in_column, v);
      const int i = p0 + v * V::N;
      p.value[v] = V::LoadOnly(c_.in_image + i, here);
      p.mean[v] = V::LoadOnly(c_.mean_image + i, here);
      p.guide[v] = V::LoadOnly(c_.guide_image + i, here);
      p.centre[v] = V::And(here, V::NotEqual(p.value[v], k.zero));
      p.out[v] = k.minus_zero;
      p.weights[v] = k.minus_zero;
      centres |= V::Bits(p.centre[v]);
    }
    if (centres == 0) return;
    // Held in registers through the offsets: read through c_, they would be
    // read again after every store, which might have changed them.
    const Sources x{c_.in_image, c_.mean_image, c_.guide_image};
    const int ds_end = MinInt(R, c_.slices - 1 - s);
    const int dc_last = MinInt(R, c_.cols - 1 - c);
    const int dc_first_ahead = MaxInt(-R, -c);
    // Row offsets that leave the column for every row of the group are
    // never taken; this also keeps a radius near the int limit from walking
    // billions of empty offsets.
    const int dr_first = MaxInt(-R, 1 - g - lanes);
    const int dr_last = MinInt(R, rows - 1 - g);
    for (int dr = dr_first; dr <= dr_last; ++dr) {
      // The lanes whose neighbour row lies in the column.
      const int lo = MaxInt(0, -g - dr);
      const int hi = MinInt(lanes - 1, rows - 1 - g - dr);
      const unsigned bits = ((2u << hi) - 1u) & ~((1u << lo) - 1u);
      const Window w{dr, s, ds_end, dc_first_ahead, dc_last};
      if (bits == kWholeGroup) {
        Offsets<false, kSquared>(k, p, x, p0, w, bits);
      } else {
        Offsets<true, kSquared>(k, p, x, p0, w, bits);
      }
    }
    for (int v = 0; v < kVectors; ++v) {
      const int i = p0 + v * V::N;
      const M here = LanesOf(in_column, v);
      if (in_column == kWholeGroup) {
        AddInto<false>(c_.out_image + i, here, p.centre[v], p.out[v]);
        AddInto<false>(c_.weights + i, here, p.centre[v], p.weights[v]);
      } else {
        AddInto<true>(c_.out_image + i, here, p.centre[v], p.out[v]);
        AddInto<true>(c_.weights + i, here, p.centre[v], p.weights[v]);
      }
    }
  }

  // The window of the centres of slice s for one row offset: slice
  // offsets 0 .. ds_end, column offsets dc_first_ahead .. dc_last (from 0,
  // or 1 with dr <= 0, in the centres' own slice), cut to the volume.
  struct Window {
    int dr, s, ds_end, dc_first_ahead, dc_last;
  };

  // The pairs of every offset of the window with row offset w.dr.
  template <bool kPartial, bool kSquared>
  void Offsets(const Constants& k, Centres& p, Sources x, int p0, Window w, unsigned bits) const {
    for (int ds = 0; ds <= w.ds_end; ++ds) {
      const bool own_slab = w.s + ds < a_.end_slice;
      const Targets t{own_slab ? c_.out_image : a_.spill_out,
                      own_slab ? c_.weights : a_.spill_weights, own_slab ? 0 : spill_base_};
      const int dc_first = ds > 0 ? w.dc_first_ahead : w.dr > 0 ? 0 : 1;
      const int rows = c_.rows;
      if (dc_first > w.dc_last) continue;
      // Stepped, not multiplied: the step stops at the last column offset,
      // so it never passes the volume's last index.
      int offset = w.dr + dc_first * rows + ds * plane_;
      for (int dc = dc_first;; ++dc, offset += rows) {
        Pairs<kPartial, kSquared>(k, p, x, p0, offset, bits, t);
        if (dc == w.dc_last) break;
      }
    }
  }

  // The pairs of one window offset for the group's centres at p0: each
  // centre's additions into its sums in registers, its neighbour's into
  // memory. `bits` holds the lanes whose neighbour lies in the volume; the
  // partial form touches no memory outside them, which may belong to
  // another worker or lie past a buffer's end.
  template <bool kPartial, bool kSquared>
  void Pairs(const Constants& k, Centres& p, Sources x, int p0, int offset, unsigned bits,
             Targets t) const {
    for (int v = 0; v < kVectors; ++v) {
      const int q = p0 + v * V::N + offset;
      const int tq = q - t.offset;
      const M here = LanesOf(bits, v);
      const auto load = [&](const double* at) {
        if constexpr (kPartial) {
          return V::LoadOnly(at, here);
        } else {
          return V::Load(at);
        }
      };
      const Gated g = Gate(k, kPartial ? V::And(p.centre[v], here) : p.centre[v], p.mean[v],
                           load(x.mean + q), p.guide[v], load(x.guide + q));
      const M pass = g.pass;
      const D w = V::Bits(g.rest) == 0 ? g.w : RestWeights(k, g.dg, g.K, g.rest, g.w);
      const D vq = load(x.in + q);
      const D vp = p.value[v];
      p.out[v] = V::Select(
          pass, V::Add(p.out[v], kSquared ? V::Mul(vq, V::Mul(w, vq)) : V::Mul(w, vq)), p.out[v]);
      p.weights[v] = V::Select(pass, V::Add(p.weights[v], w), p.weights[v]);
      AddInto<kPartial>(t.out + tq, here, pass,
                        kSquared ? V::Mul(vp, V::Mul(w, vp)) : V::Mul(w, vp));
      AddInto<kPartial>(t.weights + tq, here, pass, w);
    }
  }

  static constexpr unsigned kWholeGroup = (1u << kGroup) - 1u;

  // Vector v's lanes of a group's bits.
  static M LanesOf(unsigned bits, int v) {
    return V::FromBits((bits >> (v * V::N)) & ((1u << V::N) - 1u));
  }

  Constants MakeConstants() const {
    return Constants{V::Set(0.0),      V::Set(-0.0),     V::Set(0.5),       V::Set(1.0),
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

  // Every lane goes through the gate and the table whatever its centre test
  // said: that costs less than a branch, which data make unpredictable.
  Gated Gate(const Constants& c, M live, D mean_p, D mean_q, D guide_p, D guide_q) const {
    Gated g;
    // |trunc32(difference)|, the most negative integer for what does not
    // fit, which the absolute value leaves as it is, as GateDistance does;
    // a difference that is no number closes the gate, as in PairWeight.
    const D difference = V::Sub(mean_p, mean_q);
    const typename V::I k = V::AbsInt(V::TruncateToInt(difference));
    g.K = V::ToDouble(k);
    g.pass = V::And(V::And(live, V::Equal(difference, difference)), V::NotGreater(g.K, c.h));
    g.dg = V::Sub(guide_p, guide_q);
    const M tabled = V::And(V::And(V::LessEqual(V::Mul(g.dg, g.dg), c.guide_limit),
                                   V::LessEqual(c.zero, g.K)),
                            V::Less(g.K, c.eight));
    g.w = V::Lookup8(c.table, k);
    g.rest = V::AndNot(g.pass, tabled);
    return g;
  }

  // The weights of the lanes of `rest` from their guide differences and gate
  // distances; the other lanes keep w's.
  D RestWeights(const Constants& c, D dg, D K, M rest_lanes, D w) const {
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
    const unsigned rest = V::Bits(rest_lanes);
    // The compiler aligns these to 64 bytes for the vector stores anyway;
    // declared so, they also keep that alignment on the address
    // sanitizer's stack for use after return, which otherwise places them
    // at 32 and faults on the aligned store.
    alignas(64) double lanes[V::N], dgs[V::N], Ks[V::N];
    V::Store(lanes, w);
    V::Store(dgs, dg);
    V::Store(Ks, K);
    for (int j = 0; j < V::N; ++j)
      if ((rest >> j) & 1u) lanes[j] = WeightOfTerms(GuideTerm(dgs[j], k_), MeanTerm(Ks[j], k_));
    return V::Load(lanes);
  }

  // A term below 0 becomes +0; one that is not a number stays so.
  static D Clamped(D term, D zero) { return V::Select(V::Less(term, zero), zero, term); }

  // x into the sums at sum in the lanes of pass, which lie within `here`.
  // Whole vectors store a turned-away lane's sum back unchanged; the
  // partial form reads and writes nothing outside `here`.
  template <bool kPartial>
  static void AddInto(double* sum, M here, M pass, D x) {
    if constexpr (kPartial) {
      V::StoreOnly(sum, pass, V::Add(V::LoadOnly(sum, here), x));
    } else {
      const D old = V::Load(sum);
      V::StoreWhere(sum, pass, V::Add(old, x), old);
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
