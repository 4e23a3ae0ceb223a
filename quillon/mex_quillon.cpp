// quillon(noisy, sigma, rician): the gateway. The only code of the
// deliverable that talks to the host.
#include <cstdint>

#include "denoise.h"
#include "mex_args.h"
#include "mex_host.h"
#include "rician_bias.h"

namespace {

enum { IN_NOISY, IN_SIGMA, IN_RICIAN, IN_COUNT };
enum { OUT_DENOISED, OUT_FIRST_ESTIMATE, OUT_MAX };

constexpr const char* kName = "quillon";

// mxMalloc'd storage handed back when the call ends, however it ends.
class HostBlock {
 public:
  explicit HostBlock(std::size_t bytes) : p_(static_cast<double*>(mxMalloc(bytes))) {}
  ~HostBlock() { mxFree(p_); }
  HostBlock(const HostBlock&) = delete;
  HostBlock& operator=(const HostBlock&) = delete;
  double* get() const { return p_; }

 private:
  double* p_;
};

double* NewVolume(mwSize700 ndim, const mwSize700* dims) {
  return mxGetPr(mxCreateNumericArray_700(ndim, dims, mxDOUBLE_CLASS, mxREAL));
}

void Run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], mexargs::Failure& f) {
  if (nrhs != IN_COUNT) {
    return mexargs::Fail(f, kName, "nargin",
                         "quillon takes three inputs, quillon(noisy, sigma, rician); got %d.",
                         nrhs);
  }
  if (nlhs > OUT_MAX) {
    return mexargs::Fail(f, kName, "nargout",
                         "quillon returns at most two outputs, [denoised, first_estimate].");
  }
  const mxArray* noisy = prhs[IN_NOISY];
  if (!mexargs::IsRealDoubleArray(noisy) || mxGetNumberOfDimensions_700(noisy) < 3) {
    return mexargs::Fail(f, kName, "volume",
                         "The noisy volume (input 1) must be a real, full double array of "
                         "three dimensions [rows, cols, slices].");
  }
  if (!mexargs::IsRealScalar(prhs[IN_SIGMA])) {
    return mexargs::Fail(f, kName, "sigma",
                         "sigma (input 2) must be a real numeric scalar: the noise standard "
                         "deviation, in the units of the voxel values.");
  }
  if (!mexargs::IsRealScalar(prhs[IN_RICIAN])) {
    return mexargs::Fail(f, kName, "rician",
                         "The Rician flag (input 3) must be a real numeric scalar: 1 for "
                         "Rician noise, 0 for Gaussian noise.");
  }

  const double* in = mxGetPr(noisy);
  const mwSize700 ndim = mxGetNumberOfDimensions_700(noisy);
  const mwSize700* dims = mxGetDimensions_700(noisy);
  const double sigma = mxGetScalar(prhs[IN_SIGMA]);
  const double flag = mxGetScalar(prhs[IN_RICIAN]);
  if (!mexargs::TruncatesToInt32(flag)) {
    return mexargs::Fail(f, kName, "rician",
                         "The Rician flag (input 3) must be a number within the 32-bit "
                         "integer range; got %g.",
                         flag);
  }
  const int rician = static_cast<int>(flag);

  int64_t count = mexargs::VoxelCount3(dims);
  if (count < 0) {
    return mexargs::Fail(f, kName, "size",
                         "The volume has more than 2147483647 voxels in its first three "
                         "dimensions; split it into smaller volumes.");
  }
  // A zero extent past the third leaves the array empty whatever the first
  // three are: there is no first volume to read, only an empty result.
  if (mxGetNumberOfElements(noisy) == 0) count = 0;
  int64_t bias_len = 0;
  if (rician > 0 && count > 0) {
    const double largest = quillon::LargestValue(in, count);
    bias_len = quillon::BiasLength(largest);
    if (bias_len < 0) {
      return mexargs::Fail(f, kName, "range",
                           "With Rician noise the largest voxel value must be at most "
                           "134217727.5 (it is %g); scale the volume (and sigma) down.",
                           largest);
    }
  }

  quillon::QuillonJob job;
  // The output goes into its slot at once, as the host expects.
  {
    mxArray* out = mxCreateNumericArray_700(ndim, dims, mxDOUBLE_CLASS, mxREAL);
    plhs[OUT_DENOISED] = out;
    job.out_image = mxGetPr(out);
  }
  if (nlhs > OUT_FIRST_ESTIMATE) {
    mxArray* first = mxCreateNumericArray_700(ndim, dims, mxDOUBLE_CLASS, mxREAL);
    plhs[OUT_FIRST_ESTIMATE] = first;
    job.first_estimate = mxGetPr(first);
  }
  if (count == 0) return;

  job.rows = dims[0];
  job.cols = dims[1];
  job.slices = dims[2];
  job.in_image = in;
  job.weights = NewVolume(ndim, dims);
  job.acc_image = NewVolume(ndim, dims);
  job.sigma = sigma;
  job.rician = rician;

  HostBlock forward(16 * sizeof(double));
  HostBlock inverse(16 * sizeof(double));
  job.forward_table = forward.get();
  job.inverse_table = inverse.get();

  // The bias table exists only when it is read: with Rician noise.
  if (rician > 0) {
    mwSize700 table_dims[2] = {1, static_cast<mwSize700>(8 * bias_len)};
    job.bias_table = NewVolume(2, table_dims);
    job.bias_len = static_cast<int>(bias_len);
  }

  if (quillon::Denoise(job) == quillon::Outcome::kThreadsFailed) {
    mexPrintf("Threads cannot be created\n");
    return mexargs::Fail(f, kName, "threads",
                         "A worker thread could not be started; the call was abandoned.");
  }
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  static mexargs::Failure failure;
  failure = mexargs::Failure{};
  Run(nlhs, plhs, nrhs, prhs, failure);  // every object of the call is gone when it returns
  mexargs::RaiseIfFailed(failure);
}
