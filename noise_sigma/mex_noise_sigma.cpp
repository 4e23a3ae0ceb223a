// noise_sigma(volume, rician): the gateway. Argument checks, the result row,
// and the core (noise_sigma.h) called once per 3-D volume of the array; with
// a second output, the series' diagnostics (one column per volume).
#include <cmath>
#include <cstdint>
#include <vector>

#include "gateway.h"
#include "mex_args.h"
#include "mex_host.h"
#include "noise_sigma.h"

namespace {

enum { IN_VOLUME, IN_RICIAN, IN_COUNT };
enum { OUT_SIGMA, OUT_INFO, OUT_COUNT };

constexpr gateway::Signature kSignature{"noise_sigma", IN_COUNT, OUT_COUNT,
                                        "noise_sigma(volume, rician)", "[sigma, info]"};

// The rows of the second output, one column per volume (noise_sigma.m).
enum { INFO_POOLED, INFO_ESTIMATOR, INFO_CONFIDENCE, INFO_BACKGROUND, INFO_TISSUE,
       INFO_CORRELATION, INFO_STEP, INFO_SAMPLES, INFO_WARNINGS, INFO_ROWS };

// The number of 3-D volumes along the dimensions past the third, or -1 when
// a dimension did not fit 32 bits or the count exceeds 2147483647.
int64_t VolumeCount(mwSize700 ndim, const mwSize700* dims) {
  int64_t volumes = 1;
  for (mwSize700 d = 3; d < ndim; ++d) {
    if (dims[d] < 0) return -1;
    volumes *= dims[d];
    if (volumes > INT32_MAX) return -1;
  }
  return volumes;
}

// The one place that calls the core: volume v of the series into sigmas[v].
void EstimateSeries(const double* data, const mwSize700* dims, int64_t voxels, int64_t volumes,
                    noise_sigma::NoiseModel model, double* sigmas, gateway::Call& call) {
  for (int64_t v = 0; v < volumes; ++v) {
    noise_sigma::Request request;
    request.volume = {data + v * voxels, dims[0], dims[1], dims[2]};
    request.model = model;
    switch (noise_sigma::Estimate(request, &sigmas[v])) {
      case noise_sigma::Status::kOk:
        break;
      case noise_sigma::Status::kTooSmall:
        return call.Fail("small",
                     "Volume %lld has fewer than %d blocks of 2x2x2 voxels that are all "
                     "finite and non-zero: too little data to estimate sigma from.",
                         static_cast<long long>(v + 1), noise_sigma::kMinBlocks);
      case noise_sigma::Status::kThreadsFailed:
        return call.Report(platform::Status::kThreadsFailed);
      case noise_sigma::Status::kNoMemory:
        return call.Report(platform::Status::kOutOfMemory);
    }
  }
}

// The whole series through the core's pooling: sigmas[v] as the
// single-volume call gives it, and the diagnostics matrix in `info`.
void EstimateWithInfo(const double* data, const mwSize700* dims, int64_t volumes,
                      noise_sigma::NoiseModel model, double* sigmas, double* info,
                      gateway::Call& call) {
  noise_sigma::SeriesRequest request;
  request.first = {data, dims[0], dims[1], dims[2]};
  request.count = volumes;
  request.model = model;
  std::vector<noise_sigma::Result> each(static_cast<std::size_t>(volumes));
  noise_sigma::SeriesResult series;
  const noise_sigma::Status status = noise_sigma::EstimateSeries(request, each.data(), &series);
  if (status == noise_sigma::Status::kThreadsFailed) return call.Report(platform::Status::kThreadsFailed);
  if (status == noise_sigma::Status::kNoMemory) return call.Report(platform::Status::kOutOfMemory);
  for (int64_t v = 0; v < volumes; ++v) {
    const noise_sigma::Result& r = each[static_cast<std::size_t>(v)];
    if (status != noise_sigma::Status::kOk || r.estimator == noise_sigma::Estimator::kNone) {
      return call.Fail("small",
                       "Volume %lld has fewer than %d blocks of 2x2x2 voxels that are all "
                       "finite and non-zero: too little data to estimate sigma from.",
                       static_cast<long long>(v + 1), noise_sigma::kMinBlocks);
    }
    sigmas[v] = r.sigma;
    double* column = info + v * INFO_ROWS;
    column[INFO_POOLED] = series.pooled.sigma;
    column[INFO_ESTIMATOR] = static_cast<double>(r.estimator);
    column[INFO_CONFIDENCE] = static_cast<double>(r.confidence);
    column[INFO_BACKGROUND] = r.background;
    column[INFO_TISSUE] = r.tissue;
    column[INFO_CORRELATION] = r.correlation;
    column[INFO_STEP] = r.step;
    column[INFO_SAMPLES] = static_cast<double>(r.samples);
    column[INFO_WARNINGS] = static_cast<double>(r.warnings);
  }
}

void Run(gateway::Call& call) {
  const mxArray* volume = call.prhs[IN_VOLUME];
  if (!mexargs::IsRealDoubleArray(volume) || mxGetNumberOfDimensions_700(volume) < 3) {
    return call.Fail("volume",
                     "The volume (input 1) must be a real, full double array of three "
                     "dimensions [rows, cols, slices], or more for a series of volumes.");
  }
  double flag = 0.0;
  if (!gateway::CheckRicianFlag(call, IN_RICIAN, flag)) return;
  // As in quillon: a flag that truncates to a positive integer declares Rician noise.
  const auto model = static_cast<int>(flag) > 0 ? noise_sigma::NoiseModel::kRician
                                                : noise_sigma::NoiseModel::kGaussian;

  const mwSize700 ndim = mxGetNumberOfDimensions_700(volume);
  const mwSize700* dims = mxGetDimensions_700(volume);
  const int64_t voxels = mexargs::VoxelCount3(dims);
  const int64_t volumes = VolumeCount(ndim, dims);
  if (voxels < 0 || volumes < 0) {
    return call.Fail("size",
                     "Each volume may hold at most 2147483647 voxels, and the series at "
                     "most 2147483647 volumes; split the array.");
  }
  const int64_t blocks = int64_t{dims[0] / 2} * (dims[1] / 2) * (dims[2] / 2);
  if (volumes > 0 && blocks < noise_sigma::kMinBlocks) {
    return call.Fail("small",
                     "A %dx%dx%d volume has fewer than %d whole blocks of 2x2x2 voxels "
                     "(8x8x8 voxels, for instance): too small to estimate sigma from.",
                     dims[0], dims[1], dims[2], noise_sigma::kMinBlocks);
  }

  // One sigma per volume, a row vector ready for the filters.
  const mwSize700 out_dims[2] = {1, static_cast<mwSize700>(volumes)};
  call.plhs[OUT_SIGMA] = mxCreateNumericArray_700(2, out_dims, mxDOUBLE_CLASS, mxREAL);
  if (call.nlhs < 2) {
    return EstimateSeries(mxGetPr(volume), dims, voxels, volumes, model,
                          mxGetPr(call.plhs[OUT_SIGMA]), call);
  }
  const mwSize700 info_dims[2] = {INFO_ROWS, static_cast<mwSize700>(volumes)};
  call.plhs[OUT_INFO] = mxCreateNumericArray_700(2, info_dims, mxDOUBLE_CLASS, mxREAL);
  EstimateWithInfo(mxGetPr(volume), dims, volumes, model, mxGetPr(call.plhs[OUT_SIGMA]),
                   mxGetPr(call.plhs[OUT_INFO]), call);
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  gateway::Serve(kSignature, Run, nlhs, plhs, nrhs, prhs);
}
