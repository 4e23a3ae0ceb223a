#include "kernels.h"

#include <algorithm>
#include <cstddef>

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

namespace {

void RunBand(const DctThreadArgs& a, SlabKernel (*kernel_for)(platform::Isa), SlabKernel scalar) {
  const Context& c = *a.context;
  if (a.first_slice > a.last_slice) return;
  // The slab's spill planes are its first band's to clear: the other bands
  // add into them only after that band's first row.
  if (a.band.left == nullptr) {
    const std::size_t spill = std::size_t{kSpillPlanes} * c.rows * c.cols;
    std::fill(a.spill_sum, a.spill_sum + spill, 0.0);
    std::fill(a.spill_weights, a.spill_weights + spill, 0.0);
  }
  if (c.cols < 4 || c.rows < 4) return;
  if (!HasUnitDcBasis(c.transforms)) return scalar(a);
  if (SlabKernel kernel = kernel_for(c.isa)) return kernel(a);
  scalar(a);
}

}  // namespace

void RunSlab(void* args, SlabKernel (*kernel_for)(platform::Isa), SlabKernel scalar) {
  const DctThreadArgs& a = *static_cast<const DctThreadArgs*>(args);
  RunBand(a, kernel_for, scalar);
  platform::BandEnded(a.band);
}

}  // namespace quillon
