// The block workers of the two passes. Each takes a pointer to its own
// DctThreadArgs and processes every block whose start slice lies in its slab.
#pragma once

namespace quillon {

// The module's Rician flag for the running call; positive: Rician noise.
extern int rician;

// Pass 1: hard thresholding of each noisy block's coefficients at 2.7 sigma.
void ThreadFunc(void* args);

// Pass 2: the oracle pass, thresholding the noisy coefficients by the first
// estimate's coefficients at sigma, with the Rician correction.
void ThreadFunc2(void* args);

}  // namespace quillon
