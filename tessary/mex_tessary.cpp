// The host's entry into the denoiser: checks the six inputs, creates the
// output and scratch volumes, runs the core and reports failures.
//
// The host's error call unwinds without running C++ destructors, so all work
// happens in Run, which records a failure instead of raising; mexFunction
// raises only after Run has returned and everything it held is released.
// Host arrays are created before any object with a destructor exists.
#include <cmath>
#include <cstdint>

#include "denoise.h"
#include "mex_args.h"
#include "mex_host.h"
#include "rician_flag.h"

namespace {

enum In { kVolume, kRadius, kExtra, kSigma, kGuide, kFlag, kInputCount };
enum Out { kResult, kOutputCount };

constexpr const char* kPrefix = "tessary";

bool IsVolume(const mxArray* a) {
  return mexargs::IsRealDoubleArray(a) && mxGetNumberOfDimensions_700(a) == 3;
}

// A real numeric scalar whose truncation fits in 32 bits.
bool CheckIntegerScalar(mexargs::Failure& failure, const mxArray* a, int input, const char* name) {
  if (!mexargs::IsRealScalar(a)) {
    mexargs::Fail(failure, kPrefix, "scalar", "Input %d (%s) must be a real numeric scalar.", input,
                  name);
    return false;
  }
  if (!mexargs::TruncatesToInt32(mxGetScalar(a))) {
    mexargs::Fail(failure, kPrefix, "range",
                  "Input %d (%s) must truncate to a 32-bit signed integer "
                  "(-2147483648 to 2147483647).",
                  input, name);
    return false;
  }
  return true;
}

mxArray* CreateVolume(const mwSize700* dims) {
  return mxCreateNumericArray_700(3, dims, mxDOUBLE_CLASS, mxREAL);
}

void Run(mexargs::Failure& failure, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nrhs < kInputCount) {
    mexargs::Fail(failure, kPrefix, "nargin",
                  "Expected six inputs (volume, search radius, extra parameter, sigma, guide, "
                  "Rician flag), got %d.",
                  nrhs);
    return;
  }
  if (nlhs > kOutputCount) {
    mexargs::Fail(failure, kPrefix, "nargout", "Expected at most one output, %d requested.", nlhs);
    return;
  }
  if (!IsVolume(prhs[kVolume])) {
    mexargs::Fail(failure, kPrefix, "volume",
                  "Input 1 (the noisy volume) must be a real, full double array of three "
                  "dimensions.");
    return;
  }
  if (!CheckIntegerScalar(failure, prhs[kRadius], 2, "search radius")) return;
  if (!CheckIntegerScalar(failure, prhs[kExtra], 3, "extra parameter")) return;
  if (!mexargs::IsRealScalar(prhs[kSigma])) {
    mexargs::Fail(failure, kPrefix, "scalar", "Input 4 (sigma) must be a real numeric scalar.");
    return;
  }
  const double sigma = mxGetScalar(prhs[kSigma]);
  if (std::isnan(sigma)) {
    mexargs::Fail(failure, kPrefix, "sigma", "Input 4 (sigma) must be a number, not NaN.");
    return;
  }
  if (!IsVolume(prhs[kGuide])) {
    mexargs::Fail(failure, kPrefix, "guide",
                  "Input 5 (the guide) must be a real, full double array of three dimensions.");
    return;
  }
  if (!CheckIntegerScalar(failure, prhs[kFlag], 6, "Rician flag")) return;

  const mwSize700* dims = mxGetDimensions_700(prhs[kVolume]);
  const mwSize700* guide_dims = mxGetDimensions_700(prhs[kGuide]);
  if (guide_dims[0] != dims[0] || guide_dims[1] != dims[1] || guide_dims[2] != dims[2]) {
    mexargs::Fail(failure, kPrefix, "guideSize",
                  "Input 5 (the guide) must have the dimensions of input 1: %dx%dx%d, got "
                  "%dx%dx%d.",
                  dims[0], dims[1], dims[2], guide_dims[0], guide_dims[1], guide_dims[2]);
    return;
  }
  const int64_t voxels = mexargs::VoxelCount3(dims);
  if (voxels < 0) {
    mexargs::Fail(failure, kPrefix, "size",
                  "The volume %dx%dx%d holds more than 2147483647 voxels.", dims[0], dims[1],
                  dims[2]);
    return;
  }

  mxArray* result = CreateVolume(dims);
  plhs[kResult] = result;
  if (voxels == 0) return;  // an empty volume of the input's shape

  tessary::DenoiseRequest request;
  request.rows = dims[0];
  request.cols = dims[1];
  request.slices = dims[2];
  request.in_image = mxGetPr(prhs[kVolume]);
  request.guide_image = mxGetPr(prhs[kGuide]);
  request.out_image = mxGetPr(result);
  request.mean_image = mxGetPr(CreateVolume(dims));
  request.weights = mxGetPr(CreateVolume(dims));
  request.search_radius = static_cast<int>(mxGetScalar(prhs[kRadius]));
  request.extra_param = static_cast<int>(mxGetScalar(prhs[kExtra]));
  request.sigma = sigma;
  request.rician = tessary::RicianFlag(mxGetScalar(prhs[kFlag]));

  switch (tessary::Denoise(request)) {
    case tessary::DenoiseStatus::kOk:
      return;
    case tessary::DenoiseStatus::kThreadsFailed:
      mexPrintf("Threads cannot be created\n");
      mexargs::Fail(failure, kPrefix, "threads", "Threads cannot be created.");
      return;
    case tessary::DenoiseStatus::kOutOfMemory:
      mexargs::Fail(failure, kPrefix, "memory", "Not enough memory for the worker buffers.");
      return;
  }
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  mexargs::Failure failure;
  Run(failure, nlhs, plhs, nrhs, prhs);
  mexargs::RaiseIfFailed(failure);
}
