// The block workers on AVX-512 vectors of eight doubles (built with -mavx512f).
#include <immintrin.h>

namespace quillon {
namespace {

struct V {
  using reg = __m512d;
  using mask = __mmask8;
  static constexpr int N = 8;
  static reg load(const double* p) { return _mm512_loadu_pd(p); }
  static void store(double* p, reg x) { _mm512_storeu_pd(p, x); }
  static reg set1(double x) { return _mm512_set1_pd(x); }
  static reg zero() { return _mm512_setzero_pd(); }
  static reg add(reg a, reg b) { return _mm512_add_pd(a, b); }
  static reg mul(reg a, reg b) { return _mm512_mul_pd(a, b); }
  static reg div(reg a, reg b) { return _mm512_div_pd(a, b); }
  static reg keep_above(reg largest, reg x) {
    return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(x, largest, _CMP_GT_OQ), largest, x);
  }
  static mask is_zero(reg x) { return _mm512_cmp_pd_mask(x, zero(), _CMP_EQ_OQ); }
  static bool all(mask m) { return m == 0xFF; }
  static reg select_zero(mask m, reg x) { return _mm512_maskz_mov_pd(static_cast<mask>(~m), x); }
  // INT_MIN for |c| >= 2^31 and NaN, as in the scalar workers.
  // (The zero-masked forms of the conversions say the same as the plain
  // ones without reading an undefined source.)
  static reg integer_magnitude(reg c) {
    const __m256i truncated = _mm512_maskz_cvttpd_epi32(0xFF, _mm512_abs_pd(c));
    return _mm512_maskz_cvtepi32_pd(0xFF, truncated);
  }
  static void clear_below(reg threshold, reg magnitude, reg& coefficient, reg& kept) {
    const mask clear = _mm512_cmp_pd_mask(threshold, magnitude, _CMP_GT_OQ);
    coefficient = select_zero(clear, coefficient);
    kept = _mm512_mask_add_pd(kept, static_cast<mask>(~clear), kept, set1(1.0));
  }
  // Lanes moved s places up (toward higher lanes) or down, zeros shifted in.
  template <int s>
  static reg up(reg c) {
    return _mm512_castsi512_pd(
        _mm512_maskz_alignr_epi64(0xFF, _mm512_castpd_si512(c), _mm512_setzero_si512(), 8 - s));
  }
  template <int s>
  static reg down(reg c) {
    return _mm512_castsi512_pd(
        _mm512_maskz_alignr_epi64(0xFF, _mm512_setzero_si512(), _mm512_castpd_si512(c), s));
  }
  static reg load_head3(const double* p) { return _mm512_maskz_loadu_pd(0x07, p); }
  static void store_head3(double* p, reg x) { _mm512_mask_storeu_pd(p, 0x07, x); }
  // The scalar Corrected, lane by lane: lanes inside the table gather their
  // entry, the others keep their value.
  static reg corrected(reg x, const double* table, int length) {
    if (length <= 0) return x;
    const mask inside = _mm512_cmp_pd_mask(x, set1(-1.0), _CMP_GT_OQ) &
                        _mm512_cmp_pd_mask(x, set1(static_cast<double>(length)), _CMP_LT_OQ);
    const __m256i index = _mm512_maskz_cvttpd_epi32(inside, x);
    const reg y = _mm512_mask_i32gather_pd(zero(), inside, index, table, 8);
    const mask below = _mm512_cmp_pd_mask(mul(set1(2.0), x), y, _CMP_LT_OQ);
    return _mm512_mask_blend_pd(inside, x, _mm512_mask_blend_pd(below, y, x));
  }
};

}  // namespace
}  // namespace quillon

#include "block_kernel.h"

namespace quillon {

void HardThresholdAvx512(const DctThreadArgs& a) { Slab<V, false>(a); }
void OracleAvx512(const DctThreadArgs& a) { Slab<V, true>(a); }

}  // namespace quillon
