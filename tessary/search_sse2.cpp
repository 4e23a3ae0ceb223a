// The search kernel on two lanes of SSE2, which every x86-64 processor has.
#include <emmintrin.h>

#include "search_isa.h"
#include "search_kernel.h"

namespace tessary {
namespace {

struct Sse2 {
  static constexpr int N = 2;
  using D = __m128d;
  using M = __m128d;  // all bits set in a lane that is true
  using I = __m128i;  // the low two 32-bit elements
  using T = const double*;

  static D Load(const double* p) { return _mm_loadu_pd(p); }
  static void Store(double* p, D x) { _mm_storeu_pd(p, x); }
  static D Set(double x) { return _mm_set1_pd(x); }
  static D Add(D a, D b) { return _mm_add_pd(a, b); }
  static D Sub(D a, D b) { return _mm_sub_pd(a, b); }
  static D Mul(D a, D b) { return _mm_mul_pd(a, b); }
  static I GateInt(D diff) {
    // cvttpd2dq gives the most negative integer for what does not fit; the
    // absolute value wraps it to itself, as the scalar code's does.
    const __m128i t = _mm_cvttpd_epi32(diff);
    const __m128i sign = _mm_srai_epi32(t, 31);
    return _mm_sub_epi32(_mm_xor_si128(t, sign), sign);
  }
  static D ToDouble(I k) { return _mm_cvtepi32_pd(k); }
  static T MakeTable(const double* table) { return table; }
  static D Lookup(T table, I k) {
    const int k0 = _mm_cvtsi128_si32(k) & 7;
    const int k1 = _mm_cvtsi128_si32(_mm_srli_si128(k, 4)) & 7;
    return _mm_set_pd(table[k1], table[k0]);
  }
  static M NotGreater(D a, D b) { return _mm_cmpngt_pd(a, b); }
  static M LessEqual(D a, D b) { return _mm_cmple_pd(a, b); }
  static M Less(D a, D b) { return _mm_cmplt_pd(a, b); }
  static M NotEqual(D a, D b) { return _mm_cmpneq_pd(a, b); }
  static M And(M a, M b) { return _mm_and_pd(a, b); }
  static M AndNot(M a, M b) { return _mm_andnot_pd(b, a); }
  static unsigned Bits(M m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
  static D Select(M m, D a, D b) { return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b)); }
};

}  // namespace

namespace isa {

void ThreadFuncSse2(void* record) {
  VectorWorker<Sse2>(*static_cast<const NlmThreadArgs*>(record)).Run();
}

void WeighSse2(int n, const double* centre, const double* mean_p, const double* mean_q,
               const double* guide_p, const double* guide_q, double filter_h, double* w,
               unsigned char* passed) {
  NlmThreadArgs a{};
  a.filter_h = filter_h;
  VectorWorker<Sse2>(a).Weigh(n, centre, mean_p, mean_q, guide_p, guide_q, w, passed);
}

}  // namespace isa
}  // namespace tessary
