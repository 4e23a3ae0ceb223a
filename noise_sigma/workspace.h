// What one volume's estimate works in, kept from volume to volume of a
// series so that their pages are faulted in once.
#pragma once

#include "block_stats.h"
#include "noise_sigma.h"
#include "tissue.h"

namespace noise_sigma {

struct Workspace {
  BlockStats stats;
  TissueScratch tissue;
};

// Estimate, in `workspace`.
Status Estimate(const Request& request, Result* result, Workspace& workspace);

}  // namespace noise_sigma
