// Two lanes of SSE2, which every x86-64 processor has. See lanes.h.
#pragma once

#include <emmintrin.h>

#include "lanes.h"

namespace platform {
namespace {

struct Sse2Lanes {
  static constexpr int N = 2;
  using D = __m128d;
  using M = __m128d;  // all bits set in a lane that is true
  using I = __m128i;  // the low two 32-bit elements
  using Table8 = const double*;

  static D Load(const double* p) { return _mm_loadu_pd(p); }
  static void Store(double* p, D x) { _mm_storeu_pd(p, x); }
  static D Set(double x) { return _mm_set1_pd(x); }
  static D Zero() { return _mm_setzero_pd(); }
  static D Add(D a, D b) { return _mm_add_pd(a, b); }
  static D Sub(D a, D b) { return _mm_sub_pd(a, b); }
  static D Mul(D a, D b) { return _mm_mul_pd(a, b); }
  static constexpr bool kFusedMulAdd = false;
  static D Div(D a, D b) { return _mm_div_pd(a, b); }
  static D Abs(D x) { return _mm_andnot_pd(_mm_set1_pd(-0.0), x); }
  static M Greater(D a, D b) { return _mm_cmpgt_pd(a, b); }
  static M Less(D a, D b) { return _mm_cmplt_pd(a, b); }
  static M LessEqual(D a, D b) { return _mm_cmple_pd(a, b); }
  static M Equal(D a, D b) { return _mm_cmpeq_pd(a, b); }
  static M NotGreater(D a, D b) { return _mm_cmpngt_pd(a, b); }
  static M NotEqual(D a, D b) { return _mm_cmpneq_pd(a, b); }
  static M And(M a, M b) { return _mm_and_pd(a, b); }
  static M AndNot(M a, M b) { return _mm_andnot_pd(b, a); }
  static unsigned Bits(M m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
  static bool All(M m) { return Bits(m) == 0x3u; }
  static D Select(M m, D a, D b) { return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b)); }
  static void StoreWhere(double* p, M m, D x, D old) { Store(p, Select(m, x, old)); }
  static M FromBits(unsigned bits) {
    return _mm_castsi128_pd(_mm_set_epi64x(-static_cast<long long>((bits >> 1) & 1u),
                                           -static_cast<long long>(bits & 1u)));
  }
  // Lane by lane: SSE2 has no masked load or store that leaves memory alone.
  static D LoadOnly(const double* p, M m) {
    const unsigned bits = Bits(m);
    return _mm_set_pd((bits & 2u) != 0 ? p[1] : 0.0, (bits & 1u) != 0 ? p[0] : 0.0);
  }
  static void StoreOnly(double* p, M m, D x) {
    const unsigned bits = Bits(m);
    if ((bits & 1u) != 0) _mm_storel_pd(p, x);
    if ((bits & 2u) != 0) _mm_storeh_pd(p + 1, x);
  }
  static I TruncateToInt(D x) { return _mm_cvttpd_epi32(x); }
  static D ToDouble(I k) { return _mm_cvtepi32_pd(k); }
  static I AbsInt(I k) {
    const __m128i sign = _mm_srai_epi32(k, 31);
    return _mm_sub_epi32(_mm_xor_si128(k, sign), sign);
  }
  // No gather instruction here: lane by lane.
  static D Gather(const double* table, I index, M active) {
    const unsigned bits = Bits(active);
    const int i0 = _mm_cvtsi128_si32(index);
    const int i1 = _mm_cvtsi128_si32(_mm_srli_si128(index, 4));
    return _mm_set_pd((bits & 2u) != 0 ? table[i1] : 0.0, (bits & 1u) != 0 ? table[i0] : 0.0);
  }
  static Table8 MakeTable8(const double* table) { return table; }
  static D Lookup8(Table8 table, I k) {
    const int k0 = _mm_cvtsi128_si32(k) & 7;
    const int k1 = _mm_cvtsi128_si32(_mm_srli_si128(k, 4)) & 7;
    return _mm_set_pd(table[k1], table[k0]);
  }
};

}  // namespace
}  // namespace platform
