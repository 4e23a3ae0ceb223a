// The block workers on AVX2 vectors of four doubles (built with -mavx2).
// x86-64 builds only, as are the lanes it is built on.
#if defined(__x86_64__) || defined(_M_X64)
#include "lanes_avx2.h"
#include "block_kernel.h"

namespace quillon {

void HardThresholdAvx2(const DctThreadArgs& a) { SlabOfBlocks<platform::Avx2Lanes, false>(a); }
void OracleAvx2(const DctThreadArgs& a) { SlabOfBlocks<platform::Avx2Lanes, true>(a); }

}  // namespace quillon

#endif
