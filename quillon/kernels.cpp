#include "kernels.h"

namespace quillon {
namespace {

#if defined(DENOISERS_X86_KERNELS)
constexpr platform::PerIsa<SlabKernel> kHardThreshold{nullptr, HardThresholdSse2,
                                                      HardThresholdAvx2, HardThresholdAvx512};
constexpr platform::PerIsa<SlabKernel> kOracle{nullptr, OracleSse2, OracleAvx2, OracleAvx512};
#else
constexpr platform::PerIsa<SlabKernel> kHardThreshold{};
constexpr platform::PerIsa<SlabKernel> kOracle{};
#endif

}  // namespace

SlabKernel HardThresholdKernel(platform::Isa isa) { return kHardThreshold.For(isa); }
SlabKernel OracleKernel(platform::Isa isa) { return kOracle.For(isa); }

}  // namespace quillon
