// The block workers on AVX vectors of four doubles (built with -mavx2).
#include <immintrin.h>

namespace quillon {
namespace {

struct V {
  using reg = __m256d;
  using mask = __m256d;  // all ones in a lane that is set
  static constexpr int N = 4;
  static reg load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, reg x) { _mm256_storeu_pd(p, x); }
  static reg set1(double x) { return _mm256_set1_pd(x); }
  static reg zero() { return _mm256_setzero_pd(); }
  static reg add(reg a, reg b) { return _mm256_add_pd(a, b); }
  static reg mul(reg a, reg b) { return _mm256_mul_pd(a, b); }
  static reg div(reg a, reg b) { return _mm256_div_pd(a, b); }
  static reg keep_above(reg largest, reg x) {
    return _mm256_blendv_pd(largest, x, _mm256_cmp_pd(x, largest, _CMP_GT_OQ));
  }
  static mask is_zero(reg x) { return _mm256_cmp_pd(x, zero(), _CMP_EQ_OQ); }
  static bool all(mask m) { return _mm256_movemask_pd(m) == 0xF; }
  static reg select_zero(mask m, reg x) { return _mm256_andnot_pd(m, x); }
  // INT_MIN for |c| >= 2^31 and NaN, as in the scalar workers.
  static reg integer_magnitude(reg c) {
    const reg magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), c);
    return _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(magnitude));
  }
  static void clear_below(reg threshold, reg magnitude, reg& coefficient, reg& kept) {
    const mask clear = _mm256_cmp_pd(threshold, magnitude, _CMP_GT_OQ);
    coefficient = select_zero(clear, coefficient);
    kept = add(kept, select_zero(clear, set1(1.0)));
  }
};

}  // namespace
}  // namespace quillon

#include "block_kernel.h"

namespace quillon {

void HardThresholdAvx2(const DctThreadArgs& a) { Slab<V, false>(a); }
void OracleAvx2(const DctThreadArgs& a) { Slab<V, true>(a); }

}  // namespace quillon
