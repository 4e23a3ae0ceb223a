// The host's MEX interface, as far as the gateways use it.
//
// Both gateways talk to the host (MATLAB, or the stand-in host in standin/)
// only through the calls declared here. Dimensions use the host's 32-bit
// "_700" interface: a dimension vector is an array of 32-bit signed integers.
// Nothing outside the entry files includes this header.
#pragma once

#include <cstddef>

#ifdef _WIN32
#define MEX_EXPORT __declspec(dllexport)
#else
#define MEX_EXPORT __attribute__((visibility("default")))
#endif

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

// Classification, used by the argument checks.
bool mxIsDouble(const mxArray* a);
bool mxIsComplex(const mxArray* a);
bool mxIsSparse(const mxArray* a);
bool mxIsNumeric(const mxArray* a);
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
