// The block workers of the two passes. Each takes a pointer to its own
// DctThreadArgs and processes every block whose start slice lies in its slab.
#pragma once

#include "block_access.h"
#include "quillon_context.h"

namespace quillon {

// Pass 1: hard thresholding of each noisy block's coefficients at 2.7 sigma.
void ThreadFunc(void* args);

// Pass 2: the oracle pass, thresholding the noisy coefficients by the first
// estimate's coefficients at sigma, with the Rician correction.
void ThreadFunc2(void* args);

// A worker's slab of each pass, the plain scalar way: the workers' own way
// without vector kernels, and the kernels' way when they cannot have their
// scratch.
void HardThresholdSlab(const DctThreadArgs& a);
void OracleSlab(const DctThreadArgs& a);

// One block of each pass, the plain scalar way. The vector kernels use them
// for the block positions at the end of a row that fill no whole vector.
void HardThresholdBlock(const DctThreadArgs& a, const BlockTargets& target, double threshold,
                        int r0, int c0, int s0);
void OracleBlock(const DctThreadArgs& a, const BlockTargets& target, int r0, int c0, int s0);

}  // namespace quillon
