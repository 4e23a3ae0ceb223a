#include "exp.h"

#include "exp_impl.h"

namespace platform {

double ExpUnfused(double x) {
  // -ffp-contract=off keeps a * b + c two roundings.
  return exp_detail::Exp(x, [](double a, double b, double c) { return a * b + c; });
}

bool ExpUsesFused() {
  // The Linux library takes its fused build when FMA and AVX2 are usable,
  // or FMA4 is.
  static const bool fused = [] {
    __builtin_cpu_init();
    return (__builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2")) ||
           __builtin_cpu_supports("fma4");
  }();
  return fused;
}

bool HasFusedMulAdd() {
  static const bool fma = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("fma") != 0;
  }();
  return fma;
}

double Exp(double x) { return ExpUsesFused() ? ExpFused(x) : ExpUnfused(x); }

}  // namespace platform

#ifdef _WIN32
// The Windows build's exp is the Linux one: the C runtime's exp rounds a
// small share of results differently, and tessary's weights must carry the
// same bits on both. Defined here, it takes the place of the runtime's in
// every program and MEX file linked with this library.
extern "C" double exp(double x) { return platform::Exp(x); }
#endif
