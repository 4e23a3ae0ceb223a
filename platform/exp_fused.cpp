// The fused build of the exponential. This file alone is compiled with
// -mfma; everything in it has internal linkage except ExpFused, which runs
// only on processors that have FMA.
#include "exp.h"
#include "exp_impl.h"

namespace platform {

double ExpFused(double x) {
  return exp_detail::Exp(x, [](double a, double b, double c) { return __builtin_fma(a, b, c); });
}

}  // namespace platform
