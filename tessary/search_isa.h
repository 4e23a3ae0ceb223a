// The entry points of the kernels built for each x86 instruction set, for
// the dispatcher (search_dispatch.cpp). Each is compiled in its own file
// with its own instruction-set flags and may only be called once the
// processor is known to have them.
#pragma once

namespace tessary::isa {

// The lane sweep of WeighPairs, for n values.
using WeighFunction = void (*)(int n, const double* centre, const double* mean_p,
                               const double* mean_q, const double* guide_p, const double* guide_q,
                               double filter_h, double* w, unsigned char* passed);

void ThreadFuncSse2(void* record);
void WeighSse2(int n, const double* centre, const double* mean_p, const double* mean_q,
               const double* guide_p, const double* guide_q, double filter_h, double* w,
               unsigned char* passed);

void ThreadFuncAvx2(void* record);
void WeighAvx2(int n, const double* centre, const double* mean_p, const double* mean_q,
               const double* guide_p, const double* guide_q, double filter_h, double* w,
               unsigned char* passed);

void ThreadFuncAvx512(void* record);
void WeighAvx512(int n, const double* centre, const double* mean_p, const double* mean_q,
                 const double* guide_p, const double* guide_q, double filter_h, double* w,
                 unsigned char* passed);

}  // namespace tessary::isa
