// tessary(noisy, radius, extra, sigma, guide, rician): the gateway.
// Argument checks, the host arrays of the call, and one call of the core
// (tessary.h).
#include <cmath>
#include <cstdint>

#include "gateway.h"
#include "interrupt_query.h"
#include "mex_args.h"
#include "mex_host.h"
#include "rician_flag.h"
#include "tessary.h"

namespace {

enum { IN_NOISY, IN_RADIUS, IN_EXTRA, IN_SIGMA, IN_GUIDE, IN_RICIAN, IN_COUNT };
enum { OUT_DENOISED, OUT_COUNT };

constexpr gateway::Signature kSignature{"tessary", IN_COUNT, OUT_COUNT,
                                        "tessary(noisy, radius, extra, sigma, guide, rician)",
                                        "[denoised]"};

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
bool CheckIntegerScalar(gateway::Call& call, int input, const char* name) {
  const mxArray* a = call.prhs[input];
  if (!mexargs::IsRealScalar(a)) {
    call.Fail("scalar", "Input %d (%s) must be a real numeric scalar.", input + 1, name);
    return false;
  }
  if (!mexargs::TruncatesToInt32(mxGetScalar(a))) {
    call.Fail("range",
              "Input %d (%s) must truncate to a 32-bit signed integer "
              "(-2147483648 to 2147483647).",
              input + 1, name);
    return false;
  }
  return true;
}

// A new volume of the input's own number of dimensions and dimensions.
mxArray* CreateVolumeLike(const mxArray* input) {
  return mxCreateNumericArray_700(mxGetNumberOfDimensions_700(input),
                                  mxGetDimensions_700(input), mxDOUBLE_CLASS, mxREAL);
}

void Run(gateway::Call& call) {
  const mxArray** prhs = call.prhs;
  if (!IsVolume(prhs[IN_NOISY])) {
    return call.Fail("volume",
                     "Input 1 (the noisy volume) must be a real, full double array of three "
                     "dimensions (or two, for one slice).");
  }
  const Shape shape = ShapeOf(prhs[IN_NOISY]);
  const mwSize700* dims = shape.dims;
  const int64_t voxels = mexargs::VoxelCount3(dims);
  if (voxels < 0) {
    return call.Fail("size", "The volume %dx%dx%d holds more than 2147483647 voxels.", dims[0],
                     dims[1], dims[2]);
  }
  if (!CheckIntegerScalar(call, IN_RADIUS, "search radius")) return;
  if (!CheckIntegerScalar(call, IN_EXTRA, "extra parameter")) return;
  if (!mexargs::IsRealScalar(prhs[IN_SIGMA])) {
    return call.Fail("scalar", "Input 4 (sigma) must be a real numeric scalar.");
  }
  const double sigma = mxGetScalar(prhs[IN_SIGMA]);
  if (std::isnan(sigma)) return call.Fail("sigma", "Input 4 (sigma) must be a number, not NaN.");
  if (!IsVolume(prhs[IN_GUIDE])) {
    return call.Fail("guide",
                     "Input 5 (the guide) must be a real, full double array of three dimensions "
                     "(or two, for one slice).");
  }
  if (!CheckIntegerScalar(call, IN_RICIAN, "Rician flag")) return;

  const Shape guide_shape = ShapeOf(prhs[IN_GUIDE]);
  if (!(guide_shape == shape)) {
    return call.Fail("guideSize",
                     "Input 5 (the guide) must have the dimensions of input 1: %dx%dx%d, got "
                     "%dx%dx%d.",
                     dims[0], dims[1], dims[2], guide_shape.dims[0], guide_shape.dims[1],
                     guide_shape.dims[2]);
  }

  // The host reclaims the scratch volumes after the call, also on an error.
  mxArray* result = CreateVolumeLike(prhs[IN_NOISY]);
  call.plhs[OUT_DENOISED] = result;
  if (voxels == 0) return;  // an empty volume of the input's shape
  mxArray* mean = CreateVolumeLike(prhs[IN_NOISY]);
  mxArray* weights = CreateVolumeLike(prhs[IN_NOISY]);
  if (result == nullptr || mean == nullptr || weights == nullptr) {
    return call.Fail("memory", "Not enough memory for a %dx%dx%d volume.", dims[0], dims[1],
                     dims[2]);
  }

  tessary::Request request;
  request.rows = dims[0];
  request.cols = dims[1];
  request.slices = dims[2];
  request.noisy = mxGetPr(prhs[IN_NOISY]);
  request.guide = mxGetPr(prhs[IN_GUIDE]);
  request.denoised = mxGetPr(result);
  request.search_radius = static_cast<int>(mxGetScalar(prhs[IN_RADIUS]));
  request.sigma = sigma;
  request.rician = tessary::RicianFlag(mxGetScalar(prhs[IN_RICIAN]));
  request.local_mean = mxGetPr(mean);
  request.weights = mxGetPr(weights);
  request.options.interrupt_query = mexhost::InterruptPendingQuery;
  call.Report(tessary::Denoise(request), request.options.isa);
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  gateway::Serve(kSignature, Run, nlhs, plhs, nrhs, prhs);
}
