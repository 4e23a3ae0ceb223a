// The argument checks that the gateways share.
#pragma once

#include <cmath>
#include <cstdint>

#include "mex_host.h"

namespace mexargs {

// A full, real, double array (not sparse, not complex).
inline bool IsRealDoubleArray(const mxArray* a) {
  return a != nullptr && mxIsDouble(a) && !mxIsComplex(a) && !mxIsSparse(a);
}

// A real scalar of any numeric class, or a logical one: what the host's
// scalar read turns into a number the way the user means it (true is 1).
// Characters, cells and structs are not numbers here, whatever the host
// would read from them.
inline bool IsRealScalar(const mxArray* a) {
  return a != nullptr && (mxIsNumeric(a) || mxIsLogical(a)) && !mxIsComplex(a) &&
         !mxIsSparse(a) && mxGetNumberOfElements(a) == 1;
}

// True when truncating x toward zero gives a 32-bit signed integer.
inline bool TruncatesToInt32(double x) {
  return x > -2147483649.0 && x < 2147483648.0;  // false for NaN
}

// rows*cols*slices of a dimension vector with at least three entries, or -1
// when the product exceeds the 32-bit voxel limit.
inline int64_t VoxelCount3(const mwSize700* dims) {
  const int64_t limit = 2147483647;
  for (int d = 0; d < 3; ++d) {
    if (dims[d] < 0) return -1;
    if (dims[d] == 0) return 0;
  }
  int64_t count = 1;
  for (int d = 0; d < 3; ++d) {
    const int64_t n = dims[d];
    if (count > limit / n) return -1;
    count *= n;
  }
  return count;
}

}  // namespace mexargs
