// The host's MEX interface, as far as the gateways use it.
//
// Every gateway talks to the host (MATLAB, Octave, or the stand-in host in
// standin/) only through the calls declared here. Dimensions use the host's 32-bit
// "_700" interface: a dimension vector is an array of 32-bit signed integers.
// Nothing outside the entry files includes this header.
//
// GNU Octave (built with MEX_HOST_OCTAVE) has no _700 calls and 64-bit
// dimensions: there its own header declares the interface and the _700 calls
// are thin adapters over it, so the gateways compile unchanged.
#pragma once

#include <cstddef>

#ifdef _WIN32
#define MEX_EXPORT __declspec(dllexport)
#else
#define MEX_EXPORT __attribute__((visibility("default")))
#endif

#ifdef MEX_HOST_OCTAVE

#include <climits>
#include <cstdint>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "mex.h"  // Octave's own declarations of the interface

extern "C" MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

typedef int mwSize700;

inline mwSize700 mxGetNumberOfDimensions_700(const mxArray* a) {
  const mwSize n = mxGetNumberOfDimensions(a);
  return n <= INT_MAX ? static_cast<mwSize700>(n) : -1;
}

// A 32-bit copy of the dimension vector, in a block of the host's that lives
// until the call ends: every vector handed out stays valid while the gateway
// may read it. A dimension beyond 32 bits reads as -1, which the gateways'
// voxel count rejects as too large, never as a truncated size.
inline const mwSize700* mxGetDimensions_700(const mxArray* a) {
  const mwSize n = mxGetNumberOfDimensions(a);
  const mwSize* dims = mxGetDimensions(a);
  auto* out = static_cast<mwSize700*>(mxMalloc(static_cast<size_t>(n) * sizeof(mwSize700)));
  for (mwSize d = 0; d < n; ++d)
    out[d] = dims[d] <= INT32_MAX ? static_cast<mwSize700>(dims[d]) : -1;
  return out;
}

// Octave's errors are C++ exceptions that unwind the gateway's frames. A
// creation fails only for want of memory, which Octave reports as an error
// without an identifier (an exception derived from std::runtime_error) or as
// std::bad_alloc; both surface as the calling gateway's NAME:memory, as a
// dimension that did not fit 32 bits (beyond the three the gateway counts)
// does as NAME:size. Interrupts derive from neither and pass through.
inline mxArray* mxCreateNumericArray_700(mwSize700 ndim, const mwSize700* dims,
                                         mxClassID classid, mxComplexity flag) {
  bool fits = ndim >= 0;
  for (mwSize700 d = 0; fits && d < ndim; ++d) fits = dims[d] >= 0;
  char id[96];
  if (!fits) {
    std::snprintf(id, sizeof id, "%s:size", mexFunctionName());
    mexErrMsgIdAndTxt(id, "A dimension of the volume exceeds 2147483647; split it into "
                          "smaller volumes.");
  }
  auto* wide = static_cast<mwSize*>(mxMalloc(static_cast<size_t>(ndim + 1) * sizeof(mwSize)));
  for (mwSize700 d = 0; d < ndim; ++d) wide[d] = dims[d];
  mxArray* a = nullptr;
  try {
    a = mxCreateNumericArray(ndim, wide, classid, flag);
  } catch (const std::bad_alloc&) {
    a = nullptr;
  } catch (const std::runtime_error&) {
    a = nullptr;
  }
  mxFree(wide);
  if (a == nullptr) {
    double megabytes = 8.0 / (1024.0 * 1024.0);
    for (mwSize700 d = 0; d < ndim; ++d) megabytes *= dims[d];
    std::snprintf(id, sizeof id, "%s:memory", mexFunctionName());
    mexErrMsgIdAndTxt(id, "Not enough memory for another array of %.0f MB; free memory or "
                          "split the volume.", megabytes);
  }
  return a;
}

#else

extern "C" {

typedef struct mxArray_tag mxArray;

// 32-bit dimension type of the _700 calls.
typedef int mwSize700;

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS,
  mxSTRUCT_CLASS,
  mxLOGICAL_CLASS,
  mxCHAR_CLASS,
  mxVOID_CLASS,
  mxDOUBLE_CLASS,
  mxSINGLE_CLASS,
  mxINT8_CLASS,
  mxUINT8_CLASS,
  mxINT16_CLASS,
  mxUINT16_CLASS,
  mxINT32_CLASS,
  mxUINT32_CLASS,
  mxINT64_CLASS,
  mxUINT64_CLASS,
  mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

// Data and scalars.
double* mxGetPr(const mxArray* a);
double mxGetScalar(const mxArray* a);

// Shape, through the 32-bit interface.
mwSize700 mxGetNumberOfDimensions_700(const mxArray* a);
const mwSize700* mxGetDimensions_700(const mxArray* a);
mxArray* mxCreateNumericArray_700(mwSize700 ndim, const mwSize700* dims,
                                  mxClassID classid, mxComplexity flag);
// Hands a scratch array back before the call ends.
void mxDestroyArray(mxArray* a);

// Classification, used by the argument checks.
bool mxIsDouble(const mxArray* a);
bool mxIsComplex(const mxArray* a);
bool mxIsSparse(const mxArray* a);
bool mxIsNumeric(const mxArray* a);
bool mxIsLogical(const mxArray* a);
size_t mxGetNumberOfElements(const mxArray* a);

// Host allocator.
void* mxMalloc(size_t n);
void mxFree(void* p);

// Output and errors. mexErrMsgIdAndTxt does not return: the host unwinds the
// call and reclaims every array and block the call obtained from it.
int mexPrintf(const char* format, ...);
[[noreturn]] void mexErrMsgIdAndTxt(const char* id, const char* format, ...);

// The gateway every MEX file exports.
MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

}  // extern "C"

#endif  // MEX_HOST_OCTAVE
