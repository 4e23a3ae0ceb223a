// tessary(noisy, radius, extra, sigma, guide, rician): the gateway.
// Argument checks, the host arrays of the call, and one call of the core
// (tessary.h) per volume.
#include <cstdint>

#include "gateway.h"
#include "interrupt_query.h"
#include "host_arrays.h"
#include "mex_args.h"
#include "mex_host.h"
#include "rician_flag.h"
#include "tessary.h"
#include "series.h"

namespace {

enum { IN_NOISY, IN_RADIUS, IN_EXTRA, IN_SIGMA, IN_GUIDE, IN_RICIAN, IN_COUNT };
enum { OUT_DENOISED, OUT_COUNT };

constexpr gateway::Signature kSignature{"tessary", IN_COUNT, OUT_COUNT,
                                        "tessary(noisy, radius, extra, sigma, guide, rician)",
                                        "[denoised]"};

// A real numeric (or logical) scalar whose truncation fits in 32 bits.
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

// The guide must have every dimension of the noisy array: a series needs a
// guide volume for each of its volumes.
bool SameDimensions(const mexargs::Series& a, const mxArray* b) {
  if (mxGetNumberOfDimensions_700(b) != a.ndim) return false;
  const mwSize700* dims = mxGetDimensions_700(b);
  for (mwSize700 d = 0; d < a.ndim; ++d)
    if (dims[d] != a.dims[d]) return false;
  return true;
}

void Run(gateway::Call& call) {
  const mxArray** prhs = call.prhs;
  if (!mexargs::IsRealDoubleArray(prhs[IN_NOISY])) {
    return call.Fail("volume",
                     "Input 1 (the noisy volume) must be a real, full double array: a volume "
                     "[rows, cols, slices] (a matrix is one slice), or a series of them along "
                     "the fourth and later dimensions.");
  }
  mexargs::Series series;
  if (!mexargs::ReadSeries(call, prhs[IN_NOISY], series)) return;
  if (!CheckIntegerScalar(call, IN_RADIUS, "search radius")) return;
  if (!CheckIntegerScalar(call, IN_EXTRA, "extra parameter")) return;
  mexargs::SigmaList sigma;
  if (!mexargs::ReadSigma(prhs[IN_SIGMA], series, sigma)) {
    return call.Fail("scalar",
                     "Input 4 (sigma) must be a real numeric scalar, or a double array of one "
                     "value per volume (%zu).",
                     series.volumes);
  }
  // A negative sigma weighs pairs as its magnitude does; NaN and infinity
  // would give every pair the same weight, or clear a Rician result.
  const int64_t unsound = mexargs::FirstUnsoundSigma(sigma, series, true);
  if (unsound >= 0) {
    char which[48];
    return call.Fail("sigma", "Input 4 (sigma) must be a finite number; got %g%s.",
                     sigma[unsound], mexargs::VolumeLabel(which, sizeof which, sigma, unsound));
  }
  const mxArray* guide = prhs[IN_GUIDE];
  if (!mexargs::IsRealDoubleArray(guide)) {
    return call.Fail("guide",
                     "Input 5 (the guide) must be a real, full double array with the "
                     "dimensions of input 1.");
  }
  if (!CheckIntegerScalar(call, IN_RICIAN, "Rician flag")) return;
  if (!SameDimensions(series, guide)) {
    char want[96], got[96];
    mexargs::FormatDims(want, sizeof want, series.ndim, series.dims);
    mexargs::FormatDims(got, sizeof got, mxGetNumberOfDimensions_700(guide),
                        mxGetDimensions_700(guide));
    return call.Fail("guideSize",
                     "Input 5 (the guide) must have the dimensions of input 1: %s, got %s.",
                     want, got);
  }

  double* denoised = mexargs::NewDoubles(series.ndim, series.dims, &call.plhs[OUT_DENOISED]);
  if (series.empty()) return;  // an empty array of the input's shape
  const double output_bytes =
      8.0 * static_cast<double>(series.voxels) * static_cast<double>(series.volumes);
  if (!mexargs::RoomForOutputCopies(output_bytes)) {
    return call.Fail("memory", "Not enough memory for the host's copy of the result (%.0f MB).",
                     output_bytes / 1048576.0);
  }

  // One volume's scratch serves every volume of a series in turn.
  mexargs::ScratchArrays scratch;
  tessary::Request request;
  request.rows = series.rows();
  request.cols = series.cols();
  request.slices = series.slices();
  request.search_radius = static_cast<int>(mxGetScalar(prhs[IN_RADIUS]));
  request.rician = tessary::RicianFlag(mxGetScalar(prhs[IN_RICIAN]));
  request.options.interrupt_query = mexhost::InterruptPendingQuery;
  request.local_mean = scratch.New(3, series.volume_dims);
  request.weights = scratch.New(3, series.volume_dims);
  const double* noisy = mxGetPr(prhs[IN_NOISY]);
  const double* guide_data = mxGetPr(guide);
  for (std::size_t k = 0; k < series.volumes && !call.failed(); ++k) {
    const std::size_t offset = k * series.voxels;
    request.noisy = noisy + offset;
    request.guide = guide_data + offset;
    request.denoised = denoised + offset;
    request.sigma = sigma[k];
    if (request.sigma == 0.0) {
      mexargs::CopyVolume(request.noisy, request.denoised, series.voxels);
      continue;
    }
    call.Report(tessary::Denoise(request), request.options.isa);
  }
  scratch.Release();
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  gateway::Serve(kSignature, Run, nlhs, plhs, nrhs, prhs);
}
