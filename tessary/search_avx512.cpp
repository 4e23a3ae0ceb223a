// The search kernel on eight lanes of AVX-512 (built with -mavx512f).
// x86-64 builds only, as are the lanes it is built on.
#if defined(__x86_64__) || defined(_M_X64)
#include "lanes_avx512.h"
#include "search_kernel.h"

namespace tessary {

void ThreadFuncAvx512(void* record) {
  const auto& a = *static_cast<const NlmThreadArgs*>(record);
  LaneWorker<platform::Avx512Lanes>(*a.context, a).Run();
}

void WeighAvx512(int n, const double* centre, const double* mean_p, const double* mean_q,
             const double* guide_p, const double* guide_q, double filter_h, double* w,
             unsigned char* passed) {
  Context c{};
  c.filter_h = filter_h;
  const NlmThreadArgs a{};
  LaneWorker<platform::Avx512Lanes>(c, a).Weigh(n, centre, mean_p, mean_q, guide_p, guide_q, w,
                                                passed);
}

}  // namespace tessary

#endif
