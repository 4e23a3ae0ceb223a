// ExpLanes of one lane struct over whole vectors of arguments, for
// exp_lanes_test.cpp; included by one file per instruction set, after its
// lanes header.
#pragma once

#include "exp_lanes.h"

namespace {

// exp of x[0 .. n-1] (n a multiple of V::N) into out, by the library's fused
// build or its unfused one; false when V has no fused multiply-add.
template <class V>
bool ExpOnLanes(const double* x, int n, bool fused, double* out) {
  const platform::ExpLaneTables& tables = platform::TheExpLaneTables();
  const typename V::M all = V::LessEqual(V::Zero(), V::Zero());
  for (int i = 0; i + V::N <= n; i += V::N) {
    const typename V::D v = V::Load(x + i);
    if (!fused) {
      V::Store(out + i, platform::ExpLanes<V, false>(v, all, tables));
    } else if constexpr (V::kFusedMulAdd) {
      V::Store(out + i, platform::ExpLanes<V, true>(v, all, tables));
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace
