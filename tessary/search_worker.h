// The search worker: weighs every pair of voxels in the forward half of a
// cubic window around each centre of its slab, once, and adds each voxel's
// noisy value into the other's sums.
#pragma once

#include "tessary_context.h"
#include "isa.h"

namespace tessary {

// Worker entry: `record` points to this worker's NlmThreadArgs, which it
// only reads. Writes nothing but the slab's slices of out_image and weights
// and its own spill buffers, which it first sets to -0.0. Runs the kernel
// of the context's instruction set.
void ThreadFunc(void* record);

// The kernels, one code over lanes of every width (search_kernel.h): each
// takes a column's centres in groups of eight rows and weighs the pairs of
// one window offset for a whole group at once, so every instruction set
// adds the same bits in the same order. ScalarThreadFunc runs it on one
// lane.
void ScalarThreadFunc(void* record);

using KernelFunction = void (*)(void* record);

// The worker entry of a resolved instruction set; null when it is not
// built in.
KernelFunction SearchKernel(platform::Isa isa);

// The centre test, the gate and the weight of n pairs (p_i, q_i) given by
// their values, computed as `isa`'s kernel computes them in its workers:
// passed[i] is 1 when the centre value is not 0 and the pair passes the
// gate, and then w[i] is its weight; otherwise w[i] is unspecified. False
// when that kernel cannot run here.
bool WeighPairs(platform::Isa isa, int n, const double* centre, const double* mean_p,
                const double* mean_q, const double* guide_p, const double* guide_q,
                double filter_h, double* w, unsigned char* passed);

// The entry points of each x86 instruction set, each in its own file
// compiled for it, to be called only once the processor is known to have it.
using WeighFunction = void (*)(int n, const double* centre, const double* mean_p,
                               const double* mean_q, const double* guide_p, const double* guide_q,
                               double filter_h, double* w, unsigned char* passed);
void ThreadFuncSse2(void* record);
void ThreadFuncAvx2(void* record);
void ThreadFuncAvx512(void* record);
void WeighSse2(int n, const double* centre, const double* mean_p, const double* mean_q,
               const double* guide_p, const double* guide_q, double filter_h, double* w,
               unsigned char* passed);
void WeighAvx2(int n, const double* centre, const double* mean_p, const double* mean_q,
               const double* guide_p, const double* guide_q, double filter_h, double* w,
               unsigned char* passed);
void WeighAvx512(int n, const double* centre, const double* mean_p, const double* mean_q,
                 const double* guide_p, const double* guide_q, double filter_h, double* w,
                 unsigned char* passed);

}  // namespace tessary
