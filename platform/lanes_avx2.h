// Four lanes of AVX2 (built with -mavx2; fused multiply-add only where a
// file adds -mfma, for MulAdd alone). See lanes.h.
#pragma once

#include <immintrin.h>

#include "lanes.h"

namespace platform {
namespace {

struct Avx2Lanes {
  static constexpr int N = 4;
  using D = __m256d;
  using M = __m256d;  // all bits set in a lane that is true
  using I = __m128i;
  using Table8 = const double*;

  static D Load(const double* p) { return _mm256_loadu_pd(p); }
  static void Store(double* p, D x) { _mm256_storeu_pd(p, x); }
  static D Set(double x) { return _mm256_set1_pd(x); }
  static D Zero() { return _mm256_setzero_pd(); }
  static D Add(D a, D b) { return _mm256_add_pd(a, b); }
  static D Sub(D a, D b) { return _mm256_sub_pd(a, b); }
  static D Mul(D a, D b) { return _mm256_mul_pd(a, b); }
#if defined(__FMA__)
  // a * b + c rounded once: only in files built with -mfma, and only run
  // on processors that have it.
  static constexpr bool kFusedMulAdd = true;
  static D MulAdd(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
#else
  static constexpr bool kFusedMulAdd = false;
#endif
  static D Div(D a, D b) { return _mm256_div_pd(a, b); }
  static D Abs(D x) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), x); }
  static M Greater(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
  static M Less(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
  static M LessEqual(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
  static M Equal(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
  static M NotGreater(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_NGT_UQ); }
  static M NotEqual(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_NEQ_UQ); }
  static M And(M a, M b) { return _mm256_and_pd(a, b); }
  static M AndNot(M a, M b) { return _mm256_andnot_pd(b, a); }
  static unsigned Bits(M m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
  static bool All(M m) { return Bits(m) == 0xFu; }
  static D Select(M m, D a, D b) { return _mm256_blendv_pd(b, a, m); }
  static void StoreWhere(double* p, M m, D x, D old) { Store(p, Select(m, x, old)); }
  static M FromBits(unsigned bits) {
    const __m256i lane = _mm256_set_epi64x(8, 4, 2, 1);
    return _mm256_castsi256_pd(
        _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_set1_epi64x(bits), lane), lane));
  }
  static D LoadOnly(const double* p, M m) { return _mm256_maskload_pd(p, _mm256_castpd_si256(m)); }
  static void StoreOnly(double* p, M m, D x) { _mm256_maskstore_pd(p, _mm256_castpd_si256(m), x); }
  static I TruncateToInt(D x) { return _mm256_cvttpd_epi32(x); }
  static D ToDouble(I k) { return _mm256_cvtepi32_pd(k); }
  static I AbsInt(I k) { return _mm_abs_epi32(k); }
  static D Gather(const double* table, I index, M active) {
    return _mm256_mask_i32gather_pd(Zero(), table, index, active, 8);
  }
  static Table8 MakeTable8(const double* table) { return table; }
  static D Lookup8(Table8 table, I k) {
    // (The masked form with every lane selected is the plain gather; it
    // spares GCC 12 a false uninitialised-value warning.)
    return _mm256_mask_i32gather_pd(Zero(), table, _mm_and_si128(k, _mm_set1_epi32(7)),
                                    _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8);
  }
  template <int s>
  static D ShiftUp(D c) {
    if constexpr (s == 1) return _mm256_blend_pd(_mm256_permute4x64_pd(c, 0x90), Zero(), 0x1);
    if constexpr (s == 2) return _mm256_permute2f128_pd(c, c, 0x08);
    if constexpr (s == 3) return _mm256_blend_pd(_mm256_permute4x64_pd(c, 0x00), Zero(), 0x7);
  }
  template <int s>
  static D ShiftDown(D c) {
    if constexpr (s == 1) return _mm256_blend_pd(_mm256_permute4x64_pd(c, 0x39), Zero(), 0x8);
    if constexpr (s == 2) return _mm256_permute2f128_pd(c, c, 0x81);
    if constexpr (s == 3) return _mm256_blend_pd(_mm256_permute4x64_pd(c, 0xFF), Zero(), 0xE);
  }
  static __m256i First3() { return _mm256_set_epi64x(0, -1, -1, -1); }
  static D LoadFirst3(const double* p) { return _mm256_maskload_pd(p, First3()); }
  static void StoreFirst3(double* p, D x) { _mm256_maskstore_pd(p, First3(), x); }
};

}  // namespace
}  // namespace platform
