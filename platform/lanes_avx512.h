// Eight lanes of AVX-512 (foundation instructions; built with -mavx512f;
// fused multiply-add only where a file adds -mfma, for MulAdd alone). See
// lanes.h.
#pragma once

#include <immintrin.h>

#include "lanes.h"

namespace platform {
namespace {

struct Avx512Lanes {
  static constexpr int N = 8;
  using D = __m512d;
  using M = __mmask8;
  using I = __m256i;
  using Table8 = __m512d;
  static constexpr M kAll = 0xFF;

  static D Load(const double* p) { return _mm512_loadu_pd(p); }
  static void Store(double* p, D x) { _mm512_storeu_pd(p, x); }
  static D Set(double x) { return _mm512_set1_pd(x); }
  static D Zero() { return _mm512_setzero_pd(); }
  static D Add(D a, D b) { return _mm512_add_pd(a, b); }
  static D Sub(D a, D b) { return _mm512_sub_pd(a, b); }
  static D Mul(D a, D b) { return _mm512_mul_pd(a, b); }
#if defined(__FMA__)
  // a * b + c rounded once: only in files built with -mfma, and only run
  // on processors that have it.
  static constexpr bool kFusedMulAdd = true;
  static D MulAdd(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
#else
  static constexpr bool kFusedMulAdd = false;
#endif
  static D Div(D a, D b) { return _mm512_div_pd(a, b); }
  static D Abs(D x) { return _mm512_abs_pd(x); }
  static M Greater(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
  static M Less(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
  static M LessEqual(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
  static M Equal(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
  static M NotGreater(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_NGT_UQ); }
  static M NotEqual(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_NEQ_UQ); }
  static M And(M a, M b) { return static_cast<M>(a & b); }
  static M AndNot(M a, M b) { return static_cast<M>(a & ~b); }
  static unsigned Bits(M m) { return m; }
  static bool All(M m) { return m == kAll; }
  static D Select(M m, D a, D b) { return _mm512_mask_blend_pd(m, b, a); }
  static void StoreWhere(double* p, M m, D x, D) { _mm512_mask_storeu_pd(p, m, x); }
  static M FromBits(unsigned bits) { return static_cast<M>(bits); }
  static D LoadOnly(const double* p, M m) { return _mm512_maskz_loadu_pd(m, p); }
  static void StoreOnly(double* p, M m, D x) { _mm512_mask_storeu_pd(p, m, x); }
  // (The zero-masked forms with every lane selected are the plain
  // instructions; they spare GCC 12 a false uninitialised-value warning.)
  static I TruncateToInt(D x) { return _mm512_maskz_cvttpd_epi32(kAll, x); }
  static D ToDouble(I k) { return _mm512_maskz_cvtepi32_pd(kAll, k); }
  static I AbsInt(I k) { return _mm256_abs_epi32(k); }
  static D Gather(const double* table, I index, M active) {
    return _mm512_mask_i32gather_pd(Zero(), active, index, table, 8);
  }
  static Table8 MakeTable8(const double* table) { return _mm512_loadu_pd(table); }
  // permutexvar reads only the low three bits of each index.
  static D Lookup8(Table8 table, I k) {
    return _mm512_maskz_permutexvar_pd(kAll, _mm512_maskz_cvtepi32_epi64(kAll, k), table);
  }
  template <int s>
  static D ShiftUp(D c) {
    return _mm512_castsi512_pd(
        _mm512_maskz_alignr_epi64(kAll, _mm512_castpd_si512(c), _mm512_setzero_si512(), 8 - s));
  }
  template <int s>
  static D ShiftDown(D c) {
    return _mm512_castsi512_pd(
        _mm512_maskz_alignr_epi64(kAll, _mm512_setzero_si512(), _mm512_castpd_si512(c), s));
  }
  static D LoadFirst3(const double* p) { return _mm512_maskz_loadu_pd(0x07, p); }
  static void StoreFirst3(double* p, D x) { _mm512_mask_storeu_pd(p, 0x07, x); }
};

}  // namespace
}  // namespace platform
