// tessary(noisy, radius, extra, sigma, guide, rician): the rules of a call,
// and the call over the volumes of its series.
#pragma once

#include "argument.h"
#include "refusal.h"
#include "series.h"
#include "tessary.h"

namespace contract {

extern const Signature kTessary;

struct TessaryArguments {
  Argument noisy, radius, extra, sigma, guide, rician;
  Argument coils{};  // optional input 7: the receive coils (absent: 1)
};

// A call that keeps every rule, normalised for the core.
struct TessaryCall {
  Series series;
  const double* noisy = nullptr;
  const double* guide = nullptr;  // every dimension of noisy's
  SigmaList sigma;
  int search_radius = 0;          // truncated
  unsigned char rician = 0;       // narrowed as this platform's build narrows it
  int coils = 1;
};

// The arguments' rules in order; false with the first refusal.
bool CheckTessary(const TessaryArguments& arguments, TessaryCall& call, Refusal& refusal);

// Denoises each volume of the call in turn, with `base`'s scratch (sized for
// one volume), options, mask and chunk, into `denoised` (of the series'
// size). False, with the refusal, at the first volume that fails.
bool RunTessary(const TessaryCall& call, tessary::Request base, double* denoised,
                Refusal& refusal);

}  // namespace contract
