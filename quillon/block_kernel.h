// The block workers with one block per vector lane: lane l of a group holds
// the block that starts l rows after the group's first. Every lane runs the
// scalar sequence of its block, operation for operation, so the results are
// the scalar ones bit for bit.
//
// Included only by the kernel files, each compiled for one instruction set
// after defining its vector traits V (in an anonymous namespace, as is all
// of this, so no copy compiled for a wider set can stand in for another).
#pragma once

#include "block_access.h"
#include "dct.h"
#include "dct_thread_args.h"
#include "workers.h"

namespace quillon {
namespace {

template <class V>
struct VectorTables {
  using reg = typename V::reg;
  reg t1[16], t2[16], w1, w2;
  VectorTables() {
    for (int i = 0; i < 16; ++i) {
      t1[i] = V::set1(tabla1[i]);
      t2[i] = V::set1(tabla2[i]);
    }
    w1 = V::set1(W1);
    w2 = V::set1(W2);
  }
};

template <class V, bool kForward>
inline void Line(const typename V::reg* x, typename V::reg* y, const VectorTables<V>& t) {
  using reg = typename V::reg;
  if constexpr (kForward) {
    for (int u = 0; u < 4; ++u) {
      const reg* b = t.t1 + 4 * u;
      const reg s = V::add(V::add(V::add(V::mul(x[0], b[0]), V::mul(x[1], b[1])), V::mul(x[2], b[2])),
                           V::mul(x[3], b[3]));
      y[u] = V::mul(s, u == 0 ? t.w1 : t.w2);
    }
  } else {
    const reg a0 = V::mul(x[0], t.w1);
    const reg a1 = V::mul(x[1], t.w2);
    const reg a2 = V::mul(x[2], t.w2);
    const reg a3 = V::mul(x[3], t.w2);
    for (int n = 0; n < 4; ++n) {
      const reg* b = t.t2 + 4 * n;
      y[n] = V::add(V::add(V::add(V::mul(a0, b[0]), V::mul(a1, b[1])), V::mul(a2, b[2])),
                    V::mul(a3, b[3]));
    }
  }
}

// Rows, then columns, then slices, as the scalar block transforms.
template <class V, bool kForward>
inline void Transform3(const typename V::reg* src, typename V::reg* dst, const VectorTables<V>& t) {
  using reg = typename V::reg;
  reg scratch[64];
  reg in[4];
  reg out[4];
  for (int i = 0; i < 64; i += 4) Line<V, kForward>(src + i, scratch + i, t);
  for (int k = 0; k < 4; ++k) {
    for (int p = 0; p < 4; ++p) {
      for (int m = 0; m < 4; ++m) in[m] = scratch[k + 16 * p + 4 * m];
      Line<V, kForward>(in, out, t);
      for (int m = 0; m < 4; ++m) scratch[k + 16 * p + 4 * m] = out[m];
    }
  }
  for (int k = 0; k < 4; ++k) {
    for (int j = 0; j < 4; ++j) {
      for (int m = 0; m < 4; ++m) in[m] = scratch[k + 4 * j + 16 * m];
      Line<V, kForward>(in, out, t);
      for (int m = 0; m < 4; ++m) dst[k + 4 * j + 16 * m] = out[m];
    }
  }
}

// Element (k, j, p) of the group's blocks: lane l reads voxel
// (r0 + l + k, c0 + j, s0 + p), so every element is one unaligned load.
// Returns each lane's largest value from 0, as the scalar gather does.
template <class V>
inline typename V::reg Gather(const double* volume, int rows, int plane, int r0, int c0, int s0,
                              typename V::reg* block) {
  typename V::reg largest = V::zero();
  for (int p = 0; p < 4; ++p) {
    for (int j = 0; j < 4; ++j) {
      const double* line = volume + r0 + (c0 + j) * rows + (s0 + p) * plane;
      for (int k = 0; k < 4; ++k) {
        const typename V::reg x = V::load(line + k);
        block[k + 4 * j + 16 * p] = x;
        largest = V::keep_above(largest, x);
      }
    }
  }
  return largest;
}

// Adds c[k] lane l into row[l + k], for k = 3, 2, 1, 0 in turn. With four
// lanes or more the voxels row[0 .. N+2] are read and written once, as two
// vectors, the shifted contributions added in registers; the second vector
// touches only its first three lanes, which keeps it inside the row.
template <class V>
inline void AddShifted(double* row, const typename V::reg* c) {
  if constexpr (V::N >= 4) {
    typename V::reg low = V::load(row);
    low = V::add(low, V::template up<3>(c[3]));
    low = V::add(low, V::template up<2>(c[2]));
    low = V::add(low, V::template up<1>(c[1]));
    low = V::add(low, c[0]);
    V::store(row, low);
    typename V::reg high = V::load_head3(row + V::N);
    high = V::add(high, V::template down<V::N - 3>(c[3]));
    high = V::add(high, V::template down<V::N - 2>(c[2]));
    high = V::add(high, V::template down<V::N - 1>(c[1]));
    V::store_head3(row + V::N, high);
  } else {
    for (int k = 3; k >= 0; --k) V::store(row + k, V::add(V::load(row + k), c[k]));
  }
}

template <class V, bool kOracle>
void Group(const DctThreadArgs& a, const BlockTargets& target, const VectorTables<V>& t,
           typename V::reg threshold, bool correct, int r0, int c0, int s0) {
  using reg = typename V::reg;
  const int rows = a.rows;
  const int plane = rows * a.cols;
  reg block[64];
  reg coefficients[64];
  const typename V::mask skip = V::is_zero(Gather<V>(a.in_image, rows, plane, r0, c0, s0, block));
  if (V::all(skip)) return;
  Transform3<V, true>(block, coefficients, t);

  reg kept = V::zero();
  if constexpr (kOracle) {
    reg estimate[64];
    Gather<V>(a.out_image, rows, plane, r0, c0, s0, block);
    Transform3<V, true>(block, estimate, t);
    for (int i = 0; i < 64; ++i)
      V::clear_below(threshold, V::integer_magnitude(estimate[i]), coefficients[i], kept);
  } else {
    for (int i = 0; i < 64; ++i)
      V::clear_below(threshold, V::integer_magnitude(coefficients[i]), coefficients[i], kept);
  }
  const reg one = V::set1(1.0);
  const reg w = V::div(one, V::add(kept, one));
  Transform3<V, false>(coefficients, block, t);

  // Lane l adds element k into voxel r0 + l + k. Taking k from 3 down to 0
  // hands every voxel its blocks' contributions in ascending block order,
  // the order of the scalar traversal; skipped lanes add +0.0, which leaves
  // a sum unchanged (no sum is ever -0.0).
  const reg w_added = V::select_zero(skip, w);
  for (int p = 0; p < 4; ++p) {
    for (int j = 0; j < 4; ++j) {
      double* sum = target.sum[p] + r0 + (c0 + j) * rows;
      double* weight = target.weight[p] + r0 + (c0 + j) * rows;
      reg c[4];
      for (int k = 0; k < 4; ++k) {
        const reg x = block[k + 4 * j + 16 * p];
        const reg contribution = kOracle && correct
                                     ? V::mul(V::corrected(x, a.bias_table, a.bias_len), w)
                                     : V::mul(w, x);
        c[k] = V::select_zero(skip, contribution);
      }
      AddShifted<V>(sum, c);
      const reg same[4] = {w_added, w_added, w_added, w_added};
      AddShifted<V>(weight, same);
    }
  }
}

template <class V, bool kOracle>
void Slab(const DctThreadArgs& a) {
  const VectorTables<V> t;
  const double threshold = kOracle ? a.sigma : 2.7 * a.sigma;
  const typename V::reg vector_threshold = V::set1(threshold);
  const bool correct = kOracle && rician > 0;
  const int last_r0 = a.rows - 4;
  for (int s0 = a.first_slice; s0 <= a.last_slice; ++s0) {
    const BlockTargets target = TargetsFor(a, kOracle ? a.acc_image : a.out_image, s0);
    for (int c0 = 0; c0 <= a.cols - 4; ++c0) {
      int r0 = 0;
      // A group's last lane adds up to three voxels past its start, which
      // stays inside the row while that lane is a real block position.
      for (; r0 + V::N - 1 <= last_r0; r0 += V::N)
        Group<V, kOracle>(a, target, t, vector_threshold, correct, r0, c0, s0);
      for (; r0 <= last_r0; ++r0) {
        if constexpr (kOracle) {
          OracleBlock(a, target, r0, c0, s0);
        } else {
          HardThresholdBlock(a, target, threshold, r0, c0, s0);
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillon
