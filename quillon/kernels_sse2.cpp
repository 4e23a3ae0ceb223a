// The block workers on SSE2 vectors of two doubles: the x86-64 baseline.
#include <emmintrin.h>

#include "block_access.h"

namespace quillon {
namespace {

struct V {
  using reg = __m128d;
  using mask = __m128d;  // all ones in a lane that is set
  static constexpr int N = 2;
  static reg load(const double* p) { return _mm_loadu_pd(p); }
  static void store(double* p, reg x) { _mm_storeu_pd(p, x); }
  static reg set1(double x) { return _mm_set1_pd(x); }
  static reg zero() { return _mm_setzero_pd(); }
  static reg add(reg a, reg b) { return _mm_add_pd(a, b); }
  static reg mul(reg a, reg b) { return _mm_mul_pd(a, b); }
  static reg div(reg a, reg b) { return _mm_div_pd(a, b); }
  static reg select(mask m, reg if_set, reg if_clear) {
    return _mm_or_pd(_mm_and_pd(m, if_set), _mm_andnot_pd(m, if_clear));
  }
  // largest = x > largest ? x : largest (a NaN never replaces it)
  static reg keep_above(reg largest, reg x) { return select(_mm_cmpgt_pd(x, largest), x, largest); }
  static mask is_zero(reg x) { return _mm_cmpeq_pd(x, zero()); }
  static bool all(mask m) { return _mm_movemask_pd(m) == 0x3; }
  static reg select_zero(mask m, reg x) { return _mm_andnot_pd(m, x); }
  // The truncating conversion gives INT_MIN for |c| >= 2^31 and NaN, which
  // is the scalar workers' value for coefficients without an integer part.
  static reg integer_magnitude(reg c) {
    const reg magnitude = _mm_andnot_pd(_mm_set1_pd(-0.0), c);
    return _mm_cvtepi32_pd(_mm_cvttpd_epi32(magnitude));
  }
  // coefficient = 0 where threshold > magnitude, else one more kept.
  static void clear_below(reg threshold, reg magnitude, reg& coefficient, reg& kept) {
    const mask clear = _mm_cmpgt_pd(threshold, magnitude);
    coefficient = select_zero(clear, coefficient);
    kept = add(kept, select_zero(clear, set1(1.0)));
  }
  // No gather instruction here: lane by lane.
  static reg corrected(reg x, const double* table, int length) {
    double lanes[N];
    store(lanes, x);
    for (double& lane : lanes) lane = Corrected(lane, table, length);
    return load(lanes);
  }
};

}  // namespace
}  // namespace quillon

#include "block_kernel.h"

namespace quillon {

void HardThresholdSse2(const DctThreadArgs& a) { Slab<V, false>(a); }
void OracleSse2(const DctThreadArgs& a) { Slab<V, true>(a); }

}  // namespace quillon
