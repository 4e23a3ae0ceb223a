// The tissue estimate: sigma from the finest Haar coefficients of the
// object's flat parts, which needs no air. estimate.cpp runs its rounds:
// each round rescales every block (ScaleBlocks, on the worker threads) and
// then measures the flat blocks (MeasureRound).
#pragma once

#include <cstdint>
#include <cstddef>

#include "block_stats.h"

namespace noise_sigma {

// What a round assumes, from the round before.
struct TissueRound {
  double sigma = 0.0;                  // the marginal sigma so far
  double correlation[3] = {0.0, 0.0, 0.0};  // the lag-1 correlation in use
  bool rician = true;
  int coils = 1;      // the channels of a sum-of-squares magnitude (rician only)
  double step = 0.0;  // the value grid's step, 0 for none
};

// Marks a block that takes no part in a round.
inline constexpr double kLeftOut = -1.0;

// Per block, for one round: the factor 1/sqrt(xi) that rescales its
// coefficients to the Gaussian sigma behind Rician data (xi of the block's
// SNR and the coils; 1 under Gaussian noise), or kLeftOut for a block that takes no part
// (no data, too dark to read Rician noise from, or with a gradient inside
// it well beyond noise).
// Kept by Reserve for the next volume of the same size or smaller.
struct TissueScratch {
  double* scale = nullptr;
  // Points scale at room for `count` blocks. Throws std::bad_alloc.
  void Reserve(int64_t count) { scale = storage_.Reserve(static_cast<std::size_t>(count)); }

 private:
  platform::Scratch storage_;
};

// Fills scratch for blocks [first, end).
void ScaleBlocks(const TissueRound& round, const BlockStats& stats, int64_t first, int64_t end,
                 TissueScratch& scratch);

struct TissueFit {
  double sigma = 0.0;    // the marginal sigma
  double hhh_sigma = 0.0;  // what the all-high coefficients alone say (white noise)
  int64_t blocks = 0;    // the flat blocks measured
  double correlation[3] = {0.0, 0.0, 0.0};  // as measured (TissueRound's is what was used)
};

// The first guess: the median of every data block's all-high coefficient.
double FirstTissueGuess(const BlockStats& stats, int64_t count);

// Measures a round filled by ScaleBlocks: the flat blocks among those taking
// part, their coefficients' medians, the correlation and sigma. The next
// round's assumptions go to *next. blocks == 0 when no block was flat.
TissueFit MeasureRound(const TissueRound& round, const BlockStats& stats, int64_t count,
                       const TissueScratch& scratch, TissueRound* next);

}  // namespace noise_sigma
