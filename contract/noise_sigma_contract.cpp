#include "noise_sigma_contract.h"

#include <new>
#include <vector>

#include "series.h"

namespace contract {
namespace {

const char* const kWhats[] = {"nargin", "nargout", "volume", "rician",      "coils",  "size",
                              "small",  "threads", "memory", "interrupted", nullptr};
// Too few usable blocks: known only once the workers have read them.
const char* const kFoundByWork[] = {"small", nullptr};

// The number of 3-D volumes along the dimensions past the third, or -1 when
// a dimension did not fit 32 bits or the count exceeds 2147483647.
int64_t VolumeCount(int ndim, const int* dims) {
  int64_t volumes = 1;
  for (int d = 3; d < ndim; ++d) {
    if (dims[d] < 0) return -1;
    volumes *= dims[d];
    if (volumes > INT32_MAX) return -1;
  }
  return volumes;
}

// Volume `number` (from 1) holds too few usable blocks.
bool RefuseSmallVolume(int64_t number, Refusal& refusal) {
  return Refuse(refusal, kNoiseSigma.name, "small", Fault::kValue,
                "Volume %lld has fewer than %d blocks of 2x2x2 voxels that are all finite and "
                "non-zero: too little data to estimate sigma from.",
                static_cast<long long>(number), noise_sigma::kMinBlocks);
}

// Every volume of the call through the core's pooling.
platform::Status EstimateAll(const NoiseSigmaCall& call, const noise_sigma::Request& base,
                             noise_sigma::Result* per_volume, noise_sigma::SeriesResult* series) {
  noise_sigma::SeriesRequest request;
  request.first = {call.data, call.volume_dims[0], call.volume_dims[1], call.volume_dims[2]};
  request.count = call.volumes;
  request.model = call.model;
  request.coils = call.coils;
  request.off_grid = call.off_grid;
  request.options = base.options;
  request.volume = call.volume;
  request.background_mask = base.background_mask;  // every volume's, side by side
  return noise_sigma::EstimateSeries(request, per_volume, series);
}

}  // namespace

const Signature kNoiseSigma{"noise_sigma", 2, 2, "noise_sigma(volume, rician[, coils])",
                            "[sigma, info]", kWhats, kFoundByWork, 1};

bool CheckNoiseSigma(const NoiseSigmaArguments& in, NoiseSigmaCall& call, Refusal& refusal) {
  const char* const name = kNoiseSigma.name;
  const Argument& volume = in.volume;
  if (!volume.IsRealDoubleArray() || volume.ndim < 3) {
    return Refuse(refusal, name, "volume",
                  volume.IsRealDoubleArray() ? Fault::kValue : Fault::kKind,
                  "The volume (input 1) must be a real, full double array of three "
                  "dimensions [rows, cols, slices], or more for a series of volumes.");
  }
  double flag = 0.0;
  if (!ReadRicianFlag(name, 2, in.rician, flag, refusal)) return false;
  // As in quillon: a flag that truncates to a positive integer declares Rician noise.
  call.model = static_cast<int>(flag) > 0 ? noise_sigma::NoiseModel::kRician
                                          : noise_sigma::NoiseModel::kGaussian;
  if (!ReadCoils(name, 3, in.coils, call.model == noise_sigma::NoiseModel::kRician, call.coils,
                 refusal))
    return false;
  const int* dims = volume.dims;
  call.voxels = VoxelCount3(dims);
  call.volumes = VolumeCount(volume.ndim, dims);
  if (call.voxels < 0 || call.volumes < 0) {
    return Refuse(refusal, name, "size", Fault::kValue,
                  "Each volume may hold at most 2147483647 voxels, and the series at most "
                  "2147483647 volumes; split the array.");
  }
  const int64_t blocks = int64_t{dims[0] / 2} * (dims[1] / 2) * (dims[2] / 2);
  if (!in.pooled && call.volumes > 0 && blocks < noise_sigma::kMinBlocks) {
    return Refuse(refusal, name, "small", Fault::kValue,
                  "A %dx%dx%d volume has fewer than %d whole blocks of 2x2x2 voxels (8x8x8 "
                  "voxels, for instance): too small to estimate sigma from.",
                  dims[0], dims[1], dims[2], noise_sigma::kMinBlocks);
  }
  call.data = volume.data;
  for (int d = 0; d < 3; ++d) call.volume_dims[d] = dims[d];
  return true;
}

bool RunNoiseSigma(const NoiseSigmaCall& call, noise_sigma::Request request, double* sigmas,
                   Refusal& refusal) {
  for (int64_t v = 0; v < call.volumes; ++v) {
    request.volume = {call.data + v * call.voxels, call.volume_dims[0], call.volume_dims[1],
                      call.volume_dims[2]};
    request.model = call.model;
    request.coils = call.coils;
    const platform::Status status = noise_sigma::Estimate(request, &sigmas[v]);
    if (status == platform::Status::kTooLittleData) return RefuseSmallVolume(v + 1, refusal);
    if (ReportStatus(kNoiseSigma, status, request.options.isa, refusal)) return false;
  }
  return true;
}

bool RunNoiseSigmaInfo(const NoiseSigmaCall& call, noise_sigma::Request base, double* sigmas,
                       double* info, Refusal& refusal) {
  std::vector<noise_sigma::Result> each;
  try {
    each.resize(static_cast<std::size_t>(call.volumes));
  } catch (const std::bad_alloc&) {
    ReportStatus(kNoiseSigma, platform::Status::kOutOfMemory, base.options.isa, refusal);
    return false;
  }
  noise_sigma::SeriesResult series;
  const platform::Status status = EstimateAll(call, base, each.data(), &series);
  if (status != platform::Status::kTooLittleData &&
      ReportStatus(kNoiseSigma, status, base.options.isa, refusal))
    return false;
  for (int64_t v = 0; v < call.volumes; ++v) {
    const noise_sigma::Result& r = each[static_cast<std::size_t>(v)];
    // The first volume without an estimate of its own, as RunNoiseSigma
    // would refuse it.
    if (status != platform::Status::kOk || r.estimator == noise_sigma::Estimator::kNone)
      return RefuseSmallVolume(v + 1, refusal);
    sigmas[v] = r.sigma;
    double* column = info + v * kNoiseSigmaInfoRows;
    column[kInfoPooled] = series.pooled.sigma;
    column[kInfoEstimator] = static_cast<double>(r.estimator);
    column[kInfoConfidence] = static_cast<double>(r.confidence);
    column[kInfoBackground] = r.background;
    column[kInfoTissue] = r.tissue;
    column[kInfoCorrelation] = r.correlation;
    column[kInfoStep] = r.step;
    column[kInfoSamples] = static_cast<double>(r.samples);
    column[kInfoWarnings] = static_cast<double>(r.warnings);
  }
  return true;
}

bool RunNoiseSigmaSeries(const NoiseSigmaCall& call, noise_sigma::Request base,
                         noise_sigma::Result* per_volume, noise_sigma::SeriesResult* series,
                         Refusal& refusal) {
  const platform::Status status = EstimateAll(call, base, per_volume, series);
  if (status != platform::Status::kTooLittleData)
    return !ReportStatus(kNoiseSigma, status, base.options.isa, refusal);
  if (call.volumes == 1) return RefuseSmallVolume(1, refusal);
  return Refuse(refusal, kNoiseSigma.name, "small", Fault::kValue,
                "none of the %lld volumes, nor all of them together, hold %d blocks of 2x2x2 "
                "voxels that are all finite and non-zero: too little data to estimate sigma "
                "from.",
                static_cast<long long>(call.volumes), noise_sigma::kMinBlocks);
}

}  // namespace contract
