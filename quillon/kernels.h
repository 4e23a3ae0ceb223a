// Vector kernels of the two block workers, chosen by the processor at run
// time. Each lane of a vector runs the scalar sequence of one block, so a
// kernel gives the same bits as the scalar workers, voxel by voxel.
#pragma once

#include "dct_thread_args.h"

namespace quillon {

enum class Isa { kScalar, kSse2, kAvx2, kAvx512 };

using HardThresholdKernel = void (*)(const DctThreadArgs&);
using OracleKernel = void (*)(const DctThreadArgs&);

struct Kernels {
  Isa isa;
  HardThresholdKernel hard_threshold;  // null: the scalar worker
  OracleKernel oracle;
};

// The widest the processor supports.
Isa BestIsa();
bool Supported(Isa isa);

// The kernels the workers use: the best ones unless UseKernels chose others.
const Kernels& ActiveKernels();

// For tests and benchmarks, while no worker runs: selects the kernels of
// `isa` (kScalar: the plain scalar workers). False when unsupported.
bool UseKernels(Isa isa);

// One entry pair per instruction set, each compiled for it.
void HardThresholdSse2(const DctThreadArgs& a);
void OracleSse2(const DctThreadArgs& a);
void HardThresholdAvx2(const DctThreadArgs& a);
void OracleAvx2(const DctThreadArgs& a);
void HardThresholdAvx512(const DctThreadArgs& a);
void OracleAvx512(const DctThreadArgs& a);

}  // namespace quillon
