#include "kernels.h"

namespace quillon {
namespace {

Kernels For(Isa isa) {
  switch (isa) {
    case Isa::kSse2:
      return {isa, HardThresholdSse2, OracleSse2};
    case Isa::kAvx2:
      return {isa, HardThresholdAvx2, OracleAvx2};
    case Isa::kAvx512:
      return {isa, HardThresholdAvx512, OracleAvx512};
    case Isa::kScalar:
      break;
  }
  return {Isa::kScalar, nullptr, nullptr};
}

Kernels& Active() {
  static Kernels active = For(BestIsa());
  return active;
}

}  // namespace

bool Supported(Isa isa) {
  switch (isa) {
    case Isa::kScalar:
    case Isa::kSse2:
      return true;
    case Isa::kAvx2:
      return __builtin_cpu_supports("avx2");
    case Isa::kAvx512:
      return __builtin_cpu_supports("avx512f");
  }
  return false;
}

Isa BestIsa() {
  if (Supported(Isa::kAvx512)) return Isa::kAvx512;
  if (Supported(Isa::kAvx2)) return Isa::kAvx2;
  return Isa::kSse2;
}

const Kernels& ActiveKernels() { return Active(); }

bool UseKernels(Isa isa) {
  if (!Supported(isa)) return false;
  Active() = For(isa);
  return true;
}

}  // namespace quillon
