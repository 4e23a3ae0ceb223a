// The block workers on SSE2 vectors of two doubles: the x86-64 baseline.
// x86-64 builds only, as are the lanes it is built on.
#if defined(__x86_64__) || defined(_M_X64)
#include "lanes_sse2.h"
#include "block_kernel.h"

namespace quillon {

void HardThresholdSse2(const DctThreadArgs& a) { SlabOfBlocks<platform::Sse2Lanes, false>(a); }
void OracleSse2(const DctThreadArgs& a) { SlabOfBlocks<platform::Sse2Lanes, true>(a); }

}  // namespace quillon

#endif
