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
  // Lanes moved s places up (toward higher lanes) or down, zeros shifted in.
  template <int s>
  static reg up(reg c) {
    if constexpr (s == 1) return _mm256_blend_pd(_mm256_permute4x64_pd(c, 0x90), zero(), 0x1);
    if constexpr (s == 2) return _mm256_permute2f128_pd(c, c, 0x08);
    if constexpr (s == 3) return _mm256_blend_pd(_mm256_permute4x64_pd(c, 0x00), zero(), 0x7);
  }
  template <int s>
  static reg down(reg c) {
    if constexpr (s == 1) return _mm256_blend_pd(_mm256_permute4x64_pd(c, 0x39), zero(), 0x8);
    if constexpr (s == 2) return _mm256_permute2f128_pd(c, c, 0x81);
    if constexpr (s == 3) return _mm256_blend_pd(_mm256_permute4x64_pd(c, 0xFF), zero(), 0xE);
  }
  static __m256i head3() { return _mm256_set_epi64x(0, -1, -1, -1); }
  static reg load_head3(const double* p) { return _mm256_maskload_pd(p, head3()); }
  static void store_head3(double* p, reg x) { _mm256_maskstore_pd(p, head3(), x); }
  // The scalar Corrected, lane by lane: lanes inside the table gather their
  // entry, the others keep their value.
  static reg corrected(reg x, const double* table, int length) {
    if (length <= 0) return x;
    const mask inside = _mm256_and_pd(_mm256_cmp_pd(x, set1(-1.0), _CMP_GT_OQ),
                                      _mm256_cmp_pd(x, set1(static_cast<double>(length)), _CMP_LT_OQ));
    const __m128i index = _mm256_cvttpd_epi32(_mm256_and_pd(inside, x));
    const reg y = _mm256_mask_i32gather_pd(zero(), table, index, inside, 8);
    const reg below = _mm256_cmp_pd(mul(set1(2.0), x), y, _CMP_LT_OQ);
    return _mm256_blendv_pd(x, _mm256_blendv_pd(y, x, below), inside);
  }
};

}  // namespace
}  // namespace quillon

#include "block_kernel.h"

namespace quillon {

void HardThresholdAvx2(const DctThreadArgs& a) { Slab<V, false>(a); }
void OracleAvx2(const DctThreadArgs& a) { Slab<V, true>(a); }

}  // namespace quillon
