// quillon(noisy, sigma, rician): the rules of a call, and the call over the
// volumes of its series.
#pragma once

#include <cstdint>

#include "argument.h"
#include "quillon.h"
#include "refusal.h"
#include "series.h"

namespace contract {

extern const Signature kQuillon;

struct QuillonArguments {
  Argument noisy, sigma, rician;
  // Optional, one per volume: the value that sizes that volume's Rician
  // table in place of its own largest value, when not negative (a chunk of
  // a larger volume gives the whole volume's). Null: each volume's own.
  const double* table_largest = nullptr;
  Argument coils{};  // optional input 4: the receive coils (absent: 1)
};

// A call that keeps every rule, normalised for the core.
struct QuillonCall {
  Series series;
  const double* noisy = nullptr;
  SigmaList sigma;
  int rician = 0;                   // the flag, truncated
  const double* table_largest = nullptr;
  int coils = 1;
  int64_t bias_table_doubles = 0;   // the largest table any volume needs
};

// The arguments' rules in order; false with the first refusal.
bool CheckQuillon(const QuillonArguments& arguments, QuillonCall& call, Refusal& refusal);

// Denoises each volume of the call in turn, with `base`'s scratch (sized for
// one volume), options, mask and chunk, into `denoised` and, when not null,
// `first_estimate` (both of the series' size). False, with the refusal, at
// the first volume that fails. A bias table buffer in `base` is built once
// for a run of volumes of one sigma and table size; base.bias_table_ready
// says it holds the first volume's table already.
bool RunQuillon(const QuillonCall& call, quillon::Request base, double* denoised,
                double* first_estimate, Refusal& refusal);

}  // namespace contract
