// The block workers on AVX-512 vectors of eight doubles (built with -mavx512f).
// x86-64 builds only, as are the lanes it is built on.
#if defined(__x86_64__) || defined(_M_X64)
#include "lanes_avx512.h"
#include "block_kernel.h"

namespace quillon {

void HardThresholdAvx512(const DctThreadArgs& a) { SlabOfBlocks<platform::Avx512Lanes, false>(a); }
void OracleAvx512(const DctThreadArgs& a) { SlabOfBlocks<platform::Avx512Lanes, true>(a); }

}  // namespace quillon

#endif
