// The exponential on AVX2 lanes, for exp_lanes_test.cpp.
#include "lanes_avx2.h"
#include "exp_lanes_probe.h"

bool ExpLanesAvx2(const double* x, int n, bool fused, double* out) {
  return ExpOnLanes<platform::Avx2Lanes>(x, n, fused, out);
}
