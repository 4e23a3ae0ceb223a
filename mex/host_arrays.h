// The host arrays a gateway creates: its outputs, and scratch volumes that
// it hands back as soon as its work is done.
#pragma once

#include <cstddef>
#include <cstdlib>

#include "mex_host.h"

namespace mexargs {

// A new real double array; its data, zeroed by the host.
inline double* NewDoubles(mwSize700 ndim, const mwSize700* dims, mxArray** array = nullptr) {
  mxArray* a = mxCreateNumericArray_700(ndim, dims, mxDOUBLE_CLASS, mxREAL);
  if (array != nullptr) *array = a;
  return mxGetPr(a);
}

// The scratch arrays of one call. They are destroyed once the work is done
// rather than left for the host to reclaim after the call: Octave copies
// every output into an array of its own after the call returns, and that
// copy needs the room the scratch held; without it the interpreter would
// raise its own out-of-memory error instead of the gateway's.
//
// Plain data, as the host's error call may leave the frame holding it; the
// host then reclaims the arrays itself.
struct ScratchArrays {
  static constexpr int kMax = 4;
  mxArray* arrays[kMax] = {};
  int count = 0;

  double* New(mwSize700 ndim, const mwSize700* dims) {
    mxArray* a = nullptr;
    double* data = NewDoubles(ndim, dims, &a);
    if (count < kMax) arrays[count++] = a;
    return data;
  }

  void Release() {
    while (count > 0) mxDestroyArray(arrays[--count]);
  }
};

// Whether the host will find `bytes` for its own copies of the outputs once
// the call returns. Only Octave copies them (MATLAB hands the arrays to the
// caller as they are); asking before the work starts turns a failure that
// would surface in the interpreter, after all the work, into the gateway's
// NAME:memory before it. The block is only reserved, never touched, as the
// interpreter's own allocation would be.
inline bool RoomForOutputCopies([[maybe_unused]] double bytes) {
#ifdef MEX_HOST_OCTAVE
  if (bytes <= 0.0) return true;
  if (bytes >= static_cast<double>(SIZE_MAX)) return false;
  // volatile: the compiler may not fold the pair of calls away.
  void* volatile block = std::malloc(static_cast<std::size_t>(bytes));
  const bool had = block != nullptr;
  std::free(block);
  return had;
#else
  return true;
#endif
}

}  // namespace mexargs
