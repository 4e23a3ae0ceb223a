// quillon(noisy, sigma, rician): the gateway. Argument checks, the host
// arrays of the call, and one call of the core (quillon.h).
#include <cstdint>

#include "gateway.h"
#include "interrupt_query.h"
#include "mex_args.h"
#include "mex_host.h"
#include "quillon.h"
#include "rician_bias.h"

namespace {

enum { IN_NOISY, IN_SIGMA, IN_RICIAN, IN_COUNT };
enum { OUT_DENOISED, OUT_FIRST_ESTIMATE, OUT_COUNT };

constexpr gateway::Signature kSignature{"quillon", IN_COUNT, OUT_COUNT,
                                        "quillon(noisy, sigma, rician)",
                                        "[denoised, first_estimate]"};

double* NewVolume(mwSize700 ndim, const mwSize700* dims) {
  return mxGetPr(mxCreateNumericArray_700(ndim, dims, mxDOUBLE_CLASS, mxREAL));
}

void Run(gateway::Call& call) {
  const mxArray* noisy = call.prhs[IN_NOISY];
  if (!mexargs::IsRealDoubleArray(noisy) || mxGetNumberOfDimensions_700(noisy) < 3) {
    return call.Fail("volume",
                     "The noisy volume (input 1) must be a real, full double array of three "
                     "dimensions [rows, cols, slices].");
  }
  if (!mexargs::IsRealScalar(call.prhs[IN_SIGMA])) {
    return call.Fail("sigma",
                     "sigma (input 2) must be a real numeric scalar: the noise standard "
                     "deviation, in the units of the voxel values.");
  }
  if (!mexargs::IsRealScalar(call.prhs[IN_RICIAN])) {
    return call.Fail("rician",
                     "The Rician flag (input 3) must be a real numeric scalar: 1 for Rician "
                     "noise, 0 for Gaussian noise.");
  }

  const double* in = mxGetPr(noisy);
  const mwSize700 ndim = mxGetNumberOfDimensions_700(noisy);
  const mwSize700* dims = mxGetDimensions_700(noisy);
  const double flag = mxGetScalar(call.prhs[IN_RICIAN]);
  if (!mexargs::TruncatesToInt32(flag)) {
    return call.Fail("rician",
                     "The Rician flag (input 3) must be a number within the 32-bit integer "
                     "range; got %g.",
                     flag);
  }
  const int rician = static_cast<int>(flag);

  int64_t count = mexargs::VoxelCount3(dims);
  if (count < 0) {
    return call.Fail("size",
                     "The volume has more than 2147483647 voxels in its first three "
                     "dimensions; split it into smaller volumes.");
  }
  // A zero extent past the third leaves the array empty whatever the first
  // three are: there is no first volume to read, only an empty result.
  if (mxGetNumberOfElements(noisy) == 0) count = 0;
  int64_t bias_size = 0;
  if (rician > 0 && count > 0) {
    const double largest = quillon::LargestValue(in, count);
    bias_size = quillon::BiasLength(largest);
    if (bias_size < 0) {
      return call.Fail("range",
                       "With Rician noise the largest voxel value must be at most %.0f (it is "
                       "%g); scale the volume (and sigma) down.",
                       quillon::kLargestRicianValue, largest);
    }
  }

  quillon::Request request;
  // The outputs go into their slots at once, as the host expects.
  call.plhs[OUT_DENOISED] = mxCreateNumericArray_700(ndim, dims, mxDOUBLE_CLASS, mxREAL);
  request.denoised = mxGetPr(call.plhs[OUT_DENOISED]);
  if (call.nlhs > OUT_FIRST_ESTIMATE) {
    call.plhs[OUT_FIRST_ESTIMATE] = mxCreateNumericArray_700(ndim, dims, mxDOUBLE_CLASS, mxREAL);
    request.first_estimate = mxGetPr(call.plhs[OUT_FIRST_ESTIMATE]);
  }
  if (count == 0) return;

  request.rows = dims[0];
  request.cols = dims[1];
  request.slices = dims[2];
  request.noisy = in;
  request.sigma = mxGetScalar(call.prhs[IN_SIGMA]);
  request.rician = rician;
  request.options.interrupt_query = mexhost::InterruptPendingQuery;
  // The scratch volumes are host arrays, which the host reclaims; the bias
  // table exists only when it is read: with Rician noise.
  request.weights = NewVolume(ndim, dims);
  request.accumulator = NewVolume(ndim, dims);
  if (rician > 0) {
    const mwSize700 table_dims[2] = {1, static_cast<mwSize700>(bias_size)};
    request.bias_table = NewVolume(2, table_dims);
    request.bias_table_size = bias_size;
  }
  call.Report(quillon::Denoise(request), request.options.isa);
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  gateway::Serve(kSignature, Run, nlhs, plhs, nrhs, prhs);
}
