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

// The host drops trailing singleton dimensions, so a volume of one slice
// arrives as a matrix: two dimensions are a volume of one slice.
bool IsVolume(const mxArray* a) {
  if (!mexargs::IsRealDoubleArray(a)) return false;
  const mwSize700 ndim = mxGetNumberOfDimensions_700(a);
  return ndim == 2 || ndim == 3;
}

// rows, cols, slices of a volume that passed IsVolume.
struct Shape {
  mwSize700 dims[3];
  bool operator==(const Shape& o) const {
    return dims[0] == o.dims[0] && dims[1] == o.dims[1] && dims[2] == o.dims[2];
  }
};

Shape ShapeOf(const mxArray* a) {
  const mwSize700* d = mxGetDimensions_700(a);
  return Shape{{d[0], d[1], mxGetNumberOfDimensions_700(a) == 3 ? d[2] : 1}};
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

// A new volume of the input's own number of dimensions and dimensions.
mxArray* CreateVolumeLike(const mxArray* input) {
  return mxCreateNumericArray_700(mxGetNumberOfDimensions_700(input),
                                  mxGetDimensions_700(input), mxDOUBLE_CLASS, mxREAL);
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
                  "dimensions (or two, for one slice).");
    return;
  }
  const Shape shape = ShapeOf(prhs[kVolume]);
  const mwSize700* dims = shape.dims;
  const int64_t voxels = mexargs::VoxelCount3(dims);
  if (voxels < 0) {
    mexargs::Fail(failure, kPrefix, "size",
                  "The volume %dx%dx%d holds more than 2147483647 voxels.", dims[0], dims[1],
                  dims[2]);
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
                  "Input 5 (the guide) must be a real, full double array of three dimensions "
                  "(or two, for one slice).");
    return;
  }
  if (!CheckIntegerScalar(failure, prhs[kFlag], 6, "Rician flag")) return;

  const Shape guide_shape = ShapeOf(prhs[kGuide]);
  if (!(guide_shape == shape)) {
    mexargs::Fail(failure, kPrefix, "guideSize",
                  "Input 5 (the guide) must have the dimensions of input 1: %dx%dx%d, got "
                  "%dx%dx%d.",
                  dims[0], dims[1], dims[2], guide_shape.dims[0], guide_shape.dims[1],
                  guide_shape.dims[2]);
    return;
  }

  // The host reclaims the scratch volumes after the call, also on an error.
  mxArray* result = CreateVolumeLike(prhs[kVolume]);
  plhs[kResult] = result;
  if (voxels == 0) return;  // an empty volume of the input's shape
  mxArray* mean = CreateVolumeLike(prhs[kVolume]);
  mxArray* weights = CreateVolumeLike(prhs[kVolume]);
  if (result == nullptr || mean == nullptr || weights == nullptr) {
    mexargs::Fail(failure, kPrefix, "memory", "Not enough memory for a %dx%dx%d volume.", dims[0],
                  dims[1], dims[2]);
    return;
  }

  tessary::DenoiseRequest request;
  request.rows = dims[0];
  request.cols = dims[1];
  request.slices = dims[2];
  request.in_image = mxGetPr(prhs[kVolume]);
  request.guide_image = mxGetPr(prhs[kGuide]);
  request.out_image = mxGetPr(result);
  request.mean_image = mxGetPr(mean);
  request.weights = mxGetPr(weights);
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
