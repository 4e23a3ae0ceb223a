// The vector kernels of the two block workers, one pair per instruction
// set. Each lane of a vector runs the scalar sequence of one block, so a
// kernel gives the same bits as the scalar workers, voxel by voxel.
#pragma once

#include "quillon_context.h"
#include "isa.h"

namespace quillon {

// A worker's whole slab of one pass.
using SlabKernel = void (*)(const DctThreadArgs&);

// The kernels of a resolved instruction set; null for kScalar (the plain
// scalar workers) and for sets not built in.
SlabKernel HardThresholdKernel(platform::Isa isa);
SlabKernel OracleKernel(platform::Isa isa);

// Runs the worker record `args` of a pass: nothing for an empty slab or a
// volume too thin for a block, else the pass's kernel for the call's set,
// or `scalar` where there is none. A worker of a slab (its first band)
// first clears its spill planes: on fresh memory that is their first
// touch, done on the worker's own thread.
void RunSlab(void* args, SlabKernel (*kernel_for)(platform::Isa), SlabKernel scalar);

// The entry pairs, each in its own file compiled for its set.
void HardThresholdSse2(const DctThreadArgs& a);
void OracleSse2(const DctThreadArgs& a);
void HardThresholdAvx2(const DctThreadArgs& a);
void OracleAvx2(const DctThreadArgs& a);
void HardThresholdAvx512(const DctThreadArgs& a);
void OracleAvx512(const DctThreadArgs& a);

}  // namespace quillon
