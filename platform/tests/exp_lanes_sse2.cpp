// The exponential on SSE2 lanes, for exp_lanes_test.cpp.
#include "lanes_sse2.h"
#include "exp_lanes_probe.h"

bool ExpLanesSse2(const double* x, int n, bool fused, double* out) {
  return ExpOnLanes<platform::Sse2Lanes>(x, n, fused, out);
}
