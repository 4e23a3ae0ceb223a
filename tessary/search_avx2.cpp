// The search kernel on four lanes of AVX2. Built with -mavx2 (and without
// fused multiply-add); called only on processors that have AVX2.
#include <immintrin.h>

#include "search_isa.h"
#include "search_kernel.h"

namespace tessary {
namespace {

struct Avx2 {
  static constexpr int N = 4;
  using D = __m256d;
  using M = __m256d;  // all bits set in a lane that is true
  using I = __m128i;
  using T = const double*;

  static D Load(const double* p) { return _mm256_loadu_pd(p); }
  static void Store(double* p, D x) { _mm256_storeu_pd(p, x); }
  static D Set(double x) { return _mm256_set1_pd(x); }
  static D Add(D a, D b) { return _mm256_add_pd(a, b); }
  static D Sub(D a, D b) { return _mm256_sub_pd(a, b); }
  static D Mul(D a, D b) { return _mm256_mul_pd(a, b); }
  static I GateInt(D diff) {
    // cvttpd2dq gives the most negative integer for what does not fit, and
    // pabsd leaves that one as it is, as the scalar wrap does.
    return _mm_abs_epi32(_mm256_cvttpd_epi32(diff));
  }
  static D ToDouble(I k) { return _mm256_cvtepi32_pd(k); }
  static T MakeTable(const double* table) { return table; }
  static D Lookup(T table, I k) {
    // (The masked form with every lane selected is the plain gather; it
    // spares GCC 12 a false uninitialised-value warning.)
    return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), table,
                                    _mm_and_si128(k, _mm_set1_epi32(7)),
                                    _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8);
  }
  static M NotGreater(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_NGT_UQ); }
  static M LessEqual(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
  static M Less(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
  static M NotEqual(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_NEQ_UQ); }
  static M And(M a, M b) { return _mm256_and_pd(a, b); }
  static M AndNot(M a, M b) { return _mm256_andnot_pd(b, a); }
  static unsigned Bits(M m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
  static D Select(M m, D a, D b) { return _mm256_blendv_pd(b, a, m); }
};

}  // namespace

namespace isa {

void ThreadFuncAvx2(void* record) {
  VectorWorker<Avx2>(*static_cast<const NlmThreadArgs*>(record)).Run();
}

void WeighAvx2(int n, const double* centre, const double* mean_p, const double* mean_q,
               const double* guide_p, const double* guide_q, double filter_h, double* w,
               unsigned char* passed) {
  NlmThreadArgs a{};
  a.filter_h = filter_h;
  VectorWorker<Avx2>(a).Weigh(n, centre, mean_p, mean_q, guide_p, guide_q, w, passed);
}

}  // namespace isa
}  // namespace tessary
