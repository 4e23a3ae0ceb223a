// noise_sigma(volume, rician[, coils]): the rules of a call, and the estimate of each
// volume of its series, alone or with the series' diagnostics.
#pragma once

#include <cstdint>

#include "argument.h"
#include "noise_sigma.h"
#include "refusal.h"

namespace contract {

extern const Signature kNoiseSigma;

// The rows of the second output, [sigma, info]: one column per volume
// (noise_sigma.m).
enum NoiseSigmaInfoRow {
  kInfoPooled,       // the series' pooled sigma, the same in every column
  kInfoEstimator,    // noise_sigma::Estimator
  kInfoConfidence,   // noise_sigma::Confidence
  kInfoBackground,
  kInfoTissue,
  kInfoCorrelation,
  kInfoStep,
  kInfoSamples,
  kInfoWarnings,     // noise_sigma::Warning bits
  kNoiseSigmaInfoRows,
};

struct NoiseSigmaArguments {
  Argument volume, rician;
  // The volumes share one noise level and get one pooled sigma (the Python
  // series estimate): a volume too small for an estimate of its own is
  // estimated with the others, so only the series as a whole must hold
  // enough data.
  bool pooled = false;
  Argument coils = {};  // optional, as quillon's: the channels of a sum-of-squares magnitude
};

// A call that keeps every rule, normalised for the core.
struct NoiseSigmaCall {
  const double* data = nullptr;
  int volume_dims[3] = {0, 0, 0};
  int64_t voxels = 0;   // of one volume
  int64_t volumes = 0;  // along the dimensions past the third: one sigma each
  noise_sigma::NoiseModel model = noise_sigma::NoiseModel::kRician;
  // For a series read one volume at a time (data then points at the first):
  // noise_sigma::SeriesRequest::volume.
  noise_sigma::VolumeSource volume;
  int coils = 1;
  bool off_grid = false;  // noise_sigma::Request's, set by the caller after the checks
};

// The arguments' rules in order; false with the first refusal.
bool CheckNoiseSigma(const NoiseSigmaArguments& arguments, NoiseSigmaCall& call,
                     Refusal& refusal);

// Estimates each volume's sigma into sigmas[v], with `base`'s options. False,
// with the refusal, at the first volume that fails: noise_sigma:small names
// a volume whose usable blocks are too few.
bool RunNoiseSigma(const NoiseSigmaCall& call, noise_sigma::Request base, double* sigmas,
                   Refusal& refusal);

// As RunNoiseSigma, through the series' pooling, with every volume's
// diagnostics in the columns of `info` (kNoiseSigmaInfoRows x volumes):
// sigmas[v] is the one RunNoiseSigma gives.
bool RunNoiseSigmaInfo(const NoiseSigmaCall& call, noise_sigma::Request base, double* sigmas,
                       double* info, Refusal& refusal);

// The series' pooled estimate (noise_sigma::EstimateSeries) of a pooled
// call, each volume's in per_volume[v]. False, with noise_sigma:small, when
// the series as a whole holds too little data.
bool RunNoiseSigmaSeries(const NoiseSigmaCall& call, noise_sigma::Request base,
                         noise_sigma::Result* per_volume, noise_sigma::SeriesResult* series,
                         Refusal& refusal);

}  // namespace contract
