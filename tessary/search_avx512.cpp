// The search kernel on eight lanes of AVX-512 (foundation instructions
// only). Built with -mavx512f (and without fused multiply-add); called only
// on processors that have AVX-512F.
#include <immintrin.h>

#include "search_isa.h"
#include "search_kernel.h"

namespace tessary {
namespace {

struct Avx512 {
  static constexpr int N = 8;
  using D = __m512d;
  using M = __mmask8;
  static constexpr M kAll = 0xFF;
  using I = __m256i;
  using T = __m512d;

  static D Load(const double* p) { return _mm512_loadu_pd(p); }
  static void Store(double* p, D x) { _mm512_storeu_pd(p, x); }
  static D Set(double x) { return _mm512_set1_pd(x); }
  static D Add(D a, D b) { return _mm512_add_pd(a, b); }
  static D Sub(D a, D b) { return _mm512_sub_pd(a, b); }
  static D Mul(D a, D b) { return _mm512_mul_pd(a, b); }
  // (The zero-masked forms with every lane selected are the plain
  // instructions; they spare GCC 12 a false uninitialised-value warning.)
  static I GateInt(D diff) {
    // cvttpd2dq gives the most negative integer for what does not fit, and
    // pabsd leaves that one as it is, as the scalar wrap does.
    return _mm256_abs_epi32(_mm512_maskz_cvttpd_epi32(kAll, diff));
  }
  static D ToDouble(I k) { return _mm512_maskz_cvtepi32_pd(kAll, k); }
  static T MakeTable(const double* table) { return _mm512_loadu_pd(table); }
  // permutexvar reads only the low three bits of each index.
  static D Lookup(T table, I k) {
    return _mm512_maskz_permutexvar_pd(kAll, _mm512_maskz_cvtepi32_epi64(kAll, k), table);
  }
  static M NotGreater(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_NGT_UQ); }
  static M LessEqual(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
  static M Less(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
  static M NotEqual(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_NEQ_UQ); }
  static M And(M a, M b) { return static_cast<M>(a & b); }
  static M AndNot(M a, M b) { return static_cast<M>(a & ~b); }
  static unsigned Bits(M m) { return m; }
  static D Select(M m, D a, D b) { return _mm512_mask_blend_pd(m, b, a); }
};

}  // namespace

namespace isa {

void ThreadFuncAvx512(void* record) {
  VectorWorker<Avx512>(*static_cast<const NlmThreadArgs*>(record)).Run();
}

void WeighAvx512(int n, const double* centre, const double* mean_p, const double* mean_q,
                 const double* guide_p, const double* guide_q, double filter_h, double* w,
                 unsigned char* passed) {
  NlmThreadArgs a{};
  a.filter_h = filter_h;
  VectorWorker<Avx512>(a).Weigh(n, centre, mean_p, mean_q, guide_p, guide_q, w, passed);
}

}  // namespace isa
}  // namespace tessary
