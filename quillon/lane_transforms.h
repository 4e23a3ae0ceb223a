// The line and block transforms of dct.cpp on vectors, one block per lane:
// every lane runs the scalar sequence of products and sums of its block, so
// its coefficients are the scalar ones bit for bit.
//
// Included only through block_kernel.h by the kernel files, each compiled
// for one instruction set (all of it in an anonymous namespace).
#pragma once

#include "dct.h"

namespace quillon {
namespace {

template <class V>
struct VectorTables {
  using reg = typename V::D;
  reg t1[16], t2[16], w1, w2;
  explicit VectorTables(const Transforms& t) {
    for (int i = 0; i < 16; ++i) {
      t1[i] = V::Set(t.tabla1[i]);
      t2[i] = V::Set(t.tabla2[i]);
    }
    w1 = V::Set(t.W1);
    w2 = V::Set(t.W2);
  }
};

template <class V, bool kForward>
inline void Line(const typename V::D* x, typename V::D* y, const VectorTables<V>& t) {
  using reg = typename V::D;
  // The basis of frequency 0 is exactly 1.0 (HasUnitDcBasis), and a product
  // by 1.0 is its other factor, bit for bit: those products are left out.
  // Multiplies are the busier half of the floating-point units here, so
  // this is a fifth of a line's time.
  if constexpr (kForward) {
    y[0] = V::Mul(V::Add(V::Add(V::Add(x[0], x[1]), x[2]), x[3]), t.w1);
    for (int u = 1; u < 4; ++u) {
      const reg* b = t.t1 + 4 * u;
      const reg s = V::Add(V::Add(V::Add(V::Mul(x[0], b[0]), V::Mul(x[1], b[1])), V::Mul(x[2], b[2])),
                           V::Mul(x[3], b[3]));
      y[u] = V::Mul(s, t.w2);
    }
  } else {
    const reg a0 = V::Mul(x[0], t.w1);
    const reg a1 = V::Mul(x[1], t.w2);
    const reg a2 = V::Mul(x[2], t.w2);
    const reg a3 = V::Mul(x[3], t.w2);
    for (int n = 0; n < 4; ++n) {
      const reg* b = t.t2 + 4 * n;
      y[n] = V::Add(V::Add(V::Add(a0, V::Mul(a1, b[1])), V::Mul(a2, b[2])), V::Mul(a3, b[3]));
    }
  }
}

// The column and slice stages of a block transform, as the scalar Separable
// runs them after its rows; row(k, j, p) gives element (k, j, p) of the row
// stage's output, and each element i = k + 4j + 16p of the result goes to
// put(i, value) as it is made.
template <class V, bool kForward, class RowStage, class Put>
inline void ColumnsThenSlices(const RowStage& row, const Put& put, const VectorTables<V>& t) {
  using reg = typename V::D;
  reg scratch[64];
  reg in[4];
  reg out[4];
  for (int k = 0; k < 4; ++k) {
    for (int p = 0; p < 4; ++p) {
      for (int m = 0; m < 4; ++m) in[m] = row(k, m, p);
      Line<V, kForward>(in, out, t);
      for (int m = 0; m < 4; ++m) scratch[k + 16 * p + 4 * m] = out[m];
    }
  }
  for (int k = 0; k < 4; ++k) {
    for (int j = 0; j < 4; ++j) {
      for (int m = 0; m < 4; ++m) in[m] = scratch[k + 4 * j + 16 * m];
      Line<V, kForward>(in, out, t);
      for (int m = 0; m < 4; ++m) put(k + 4 * j + 16 * m, out[m]);
    }
  }
}

// Rows, then columns, then slices, as the scalar block transforms.
template <class V, bool kForward>
inline void Transform3(const typename V::D* src, typename V::D* dst, const VectorTables<V>& t) {
  typename V::D rows[64];
  for (int i = 0; i < 64; i += 4) Line<V, kForward>(src + i, rows + i, t);
  ColumnsThenSlices<V, kForward>([&rows](int k, int j, int p) { return rows[k + 4 * j + 16 * p]; },
                                 [dst](int i, typename V::D x) { dst[i] = x; }, t);
}

}  // namespace
}  // namespace quillon
