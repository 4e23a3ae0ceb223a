// The gate and the weight of one pair, one voxel pair at a time. The scalar
// worker uses it for every pair and the vector kernels for the rows that do
// not fill a vector, so all paths share one source of the arithmetic.
//
// Internal linkage throughout: the vector kernels include this and are
// compiled with wider instruction sets, and a shared inline copy must never
// be the one the baseline code ends up calling.
#pragma once

#include <cmath>
#include <cstdint>

#include "truncate.h"

namespace tessary {

// The exponential of the weight: the C library's, for every kernel.
static inline double WeightExp(double x) { return std::exp(x); }

// The per-worker constants of the weight, computed once from h = filter_h.
struct WeightConstants {
  double h;
  double two_h2;   // 2h^2, as (h + h) * h
  double half_h2;  // 0.5h^2, as (h * 0.5) * h
};

static inline WeightConstants WeightConstantsFor(double h) {
  return WeightConstants{h, (h + h) * h, (h * 0.5) * h};
}

// |truncated mean difference|, in integer arithmetic as the x86 builds do:
// a difference that does not fit in 32 bits (or is not a number) truncates
// to the most negative integer, whose absolute value wraps to itself.
static inline double GateDistance(double mean_difference) {
  const int32_t t = platform::TruncateToInt32(mean_difference);
  const uint32_t magnitude = t < 0 ? 0u - static_cast<uint32_t>(t) : static_cast<uint32_t>(t);
  return static_cast<double>(static_cast<int32_t>(magnitude));
}

// The guide term, clamped: a term below 0 becomes 0, one that is not a
// number stays so. For 0 < 2h^2 < infinity it is exactly +0 whenever
// dg * dg <= 2h^2: the quotient is then at most 1 and rounds to at most 1,
// so the difference is negative (clamped to +0) or 1 - 1 = +0.
static inline double GuideTerm(double dg, const WeightConstants& k) {
  double G = dg * dg / k.two_h2 - 1.0;
  if (G < 0.0) G = 0.0;
  return G;
}

// The mean term, clamped alike.
static inline double MeanTerm(double K, const WeightConstants& k) {
  double M = K * K / k.half_h2 - 1.0;
  if (M < 0.0) M = 0.0;
  return M;
}

// The weight of the clamped terms.
static inline double WeightOfTerms(double G, double M) {
  const double d = 0.5 * G + 0.5 * M;
  if (d <= 0.0) return 1.0;
  if (d > 10.0) return 0.0;
  return WeightExp(-d);  // also for a d that is not a number
}

// False when the gate rejects the pair (nothing is added for it); otherwise
// the pair's weight is left in w. A mean difference that is no number
// closes the gate: a voxel without a mean (its value or guide value not
// finite) takes part in no pair.
static inline bool PairWeight(double mean_p, double mean_q, double guide_p, double guide_q,
                              const WeightConstants& k, double& w) {
  const double difference = mean_p - mean_q;
  if (difference != difference) return false;
  const double K = GateDistance(difference);
  if (K > k.h) return false;
  w = WeightOfTerms(GuideTerm(guide_p - guide_q, k), MeanTerm(K, k));
  return true;
}

}  // namespace tessary
