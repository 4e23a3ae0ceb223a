// noise_sigma(volume, rician): the rules of a call, and the estimate of each
// volume of its series.
#pragma once

#include <cstdint>

#include "argument.h"
#include "noise_sigma.h"
#include "refusal.h"

namespace contract {

extern const Signature kNoiseSigma;

struct NoiseSigmaArguments {
  Argument volume, rician;
};

// A call that keeps every rule, normalised for the core.
struct NoiseSigmaCall {
  const double* data = nullptr;
  int volume_dims[3] = {0, 0, 0};
  int64_t voxels = 0;   // of one volume
  int64_t volumes = 0;  // along the dimensions past the third: one sigma each
  noise_sigma::NoiseModel model = noise_sigma::NoiseModel::kRician;
};

// The arguments' rules in order; false with the first refusal.
bool CheckNoiseSigma(const NoiseSigmaArguments& arguments, NoiseSigmaCall& call,
                     Refusal& refusal);

// Estimates each volume's sigma into sigmas[v], with `base`'s options. False,
// with the refusal, at the first volume that fails: noise_sigma:small names
// a volume whose usable blocks are too few.
bool RunNoiseSigma(const NoiseSigmaCall& call, noise_sigma::Request base, double* sigmas,
                   Refusal& refusal);

}  // namespace contract
