// The verdict on one volume: which estimate is used, how far it can be
// trusted, and what it warns of.
#pragma once

#include "background.h"
#include "noise_sigma.h"
#include "tissue.h"

namespace noise_sigma {

struct Findings {
  bool rician = true;
  BackgroundFit background;  // not found under Gaussian noise
  TissueFit tissue;          // blocks == 0 when no block was flat
  double first_guess = 0.0;  // the plain median of every data block
  double step = 0.0;
  int coils = 1;
};

// The rule: under Rician noise the background's sigma when it is found
// (the air holds noise alone, while tissue can carry signal at the finest
// scale, and its Rayleigh fit is the marginal sigma the Rician model needs,
// whatever the correlation); else the tissue's; with neither, the plain
// median of the finest coefficients, with low confidence. On a value grid
// the estimate is never below the grid's own rounding noise, step/sqrt(12).
// With several coils a background more than kDarkTissue times the tissue's
// is taken for dark tissue and set aside (see verdict.cpp).
Result Verdict(const Findings& findings);

}  // namespace noise_sigma
