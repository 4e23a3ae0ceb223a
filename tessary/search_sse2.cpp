// The search kernel on two lanes of SSE2, which every x86-64 processor has.
// x86-64 builds only, as are the lanes it is built on.
#if defined(__x86_64__) || defined(_M_X64)
#include "lanes_sse2.h"
#include "search_kernel.h"

namespace tessary {

void ThreadFuncSse2(void* record) {
  const auto& a = *static_cast<const NlmThreadArgs*>(record);
  LaneWorker<platform::Sse2Lanes>(*a.context, a).Run();
}

void WeighSse2(int n, const double* centre, const double* mean_p, const double* mean_q,
             const double* guide_p, const double* guide_q, double filter_h, double* w,
             unsigned char* passed) {
  Context c{};
  c.filter_h = filter_h;
  const NlmThreadArgs a{};
  LaneWorker<platform::Sse2Lanes>(c, a).Weigh(n, centre, mean_p, mean_q, guide_p, guide_q, w,
                                                passed);
}

}  // namespace tessary

#endif
