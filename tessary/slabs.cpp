#include "slabs.h"

#include <cstdint>

namespace tessary {

Slab SlabOf(int w, int workers, int slices) {
  // w * slices is computed in 64 bits: with 32 bits it would overflow for
  // volumes of more than 2^28 slices, and below that the quotients agree.
  const int64_t n = slices;
  Slab slab;
  slab.first_slice = static_cast<int>(w * n / workers);
  slab.end_slice = static_cast<int>((w + 1) * n / workers);
  slab.direction = w % 2 == 0 ? 1 : -1;
  return slab;
}

}  // namespace tessary
