// The host arrays a gateway creates: its outputs, and scratch volumes that
// it hands back as soon as its work is done.
#pragma once

#include <cstddef>
#include <cstdlib>

#include "gateway.h"
#include "mex_host.h"
#include "series.h"

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

// Whether the host will find room for its own copies of `outputs` outputs
// of the series once the call returns. Only Octave copies them (MATLAB
// hands the arrays to the caller as they are); asking before the work
// starts turns a failure that would surface in the interpreter, after all
// the work, into the gateway's NAME:memory before it. The block is only
// reserved, never touched, as the interpreter's own allocation would be.
inline bool RoomForOutputCopies(gateway::Call& call, int outputs, const contract::Series& s) {
  const double bytes =
      8.0 * outputs * static_cast<double>(s.voxels) * static_cast<double>(s.volumes);
#ifdef MEX_HOST_OCTAVE
  bool room = bytes < static_cast<double>(SIZE_MAX);
  if (room && bytes > 0.0) {
    // volatile: the compiler may not fold the pair of calls away.
    void* volatile block = std::malloc(static_cast<std::size_t>(bytes));
    room = block != nullptr;
    std::free(block);
  }
  if (room) return true;
  return contract::Refuse(call.refusal, call.signature.name, "memory", contract::Fault::kMemory,
                          "Not enough memory for the host's copy of the result (%.0f MB).",
                          bytes / 1048576.0);
#else
  (void)call;
  (void)bytes;
  return true;
#endif
}

}  // namespace mexargs
