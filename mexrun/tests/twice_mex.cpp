// Test gateway: plhs[0] = 2 * prhs[0] for a real double array. A second
// input selects misbehaviour: negative raises an identified error, 7 returns
// an int32 array, 8 returns nothing.
#include "mex_host.h"

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  (void)nlhs;
  if (nrhs < 1 || !mxIsDouble(prhs[0]) || mxIsComplex(prhs[0]))
    mexErrMsgIdAndTxt("twice:input", "needs a real double input");
  const double mode = nrhs >= 2 ? mxGetScalar(prhs[1]) : 0.0;
  if (mode < 0) mexErrMsgIdAndTxt("twice:negative", "second input is %g", mode);
  if (mode == 8) return;
  const mxClassID cls = mode == 7 ? mxINT32_CLASS : mxDOUBLE_CLASS;
  mxArray* out = mxCreateNumericArray_700(mxGetNumberOfDimensions_700(prhs[0]),
                                          mxGetDimensions_700(prhs[0]), cls, mxREAL);
  if (cls == mxDOUBLE_CLASS) {
    const double* in = mxGetPr(prhs[0]);
    double* o = mxGetPr(out);
    for (size_t i = 0; i < mxGetNumberOfElements(out); ++i) o[i] = 2 * in[i];
  }
  mexPrintf("twice: %d elements\n", static_cast<int>(mxGetNumberOfElements(out)));
  plhs[0] = out;
}
