// The exponential on AVX-512 lanes, for exp_lanes_test.cpp.
#include "lanes_avx512.h"
#include "exp_lanes_probe.h"

bool ExpLanesAvx512(const double* x, int n, bool fused, double* out) {
  return ExpOnLanes<platform::Avx512Lanes>(x, n, fused, out);
}
