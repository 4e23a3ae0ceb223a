// The search kernel of a call's instruction set.
#include <algorithm>
#include <cstddef>

#include "pair_weight.h"
#include "search_worker.h"

namespace tessary {
namespace {

void ScalarWeigh(int n, const double* centre, const double* mean_p, const double* mean_q,
                 const double* guide_p, const double* guide_q, double filter_h, double* w,
                 unsigned char* passed) {
  const WeightConstants k = WeightConstantsFor(filter_h);
  for (int i = 0; i < n; ++i)
    passed[i] = centre[i] != 0.0 && PairWeight(mean_p[i], mean_q[i], guide_p[i], guide_q[i], k, w[i]);
}

#if defined(DENOISERS_X86_KERNELS)
constexpr platform::PerIsa<KernelFunction> kWorkers{ScalarThreadFunc, ThreadFuncSse2,
                                                    ThreadFuncAvx2, ThreadFuncAvx512};
constexpr platform::PerIsa<WeighFunction> kWeighs{ScalarWeigh, WeighSse2, WeighAvx2,
                                                  WeighAvx512};
#else
constexpr platform::PerIsa<KernelFunction> kWorkers{ScalarThreadFunc, nullptr, nullptr, nullptr};
constexpr platform::PerIsa<WeighFunction> kWeighs{ScalarWeigh, nullptr, nullptr, nullptr};
#endif

}  // namespace

KernelFunction SearchKernel(platform::Isa isa) { return kWorkers.For(isa); }

void ThreadFunc(void* record) {
  const auto* a = static_cast<const NlmThreadArgs*>(record);
  // -0.0 is the exact identity of addition, so a voxel that this worker
  // never reaches keeps its bits (even a -0.0) through the merge. Cleared
  // here, on the worker's own thread, which on fresh memory is the first
  // touch of its pages.
  const Context& c = *a->context;
  if (a->band.left == nullptr) {  // the other bands add there after its first slice
    const auto spill = static_cast<std::size_t>(a->spill_end_slice - a->end_slice) *
                       static_cast<std::size_t>(c.rows) * static_cast<std::size_t>(c.cols);
    std::fill(a->spill_out, a->spill_out + spill, -0.0);
    std::fill(a->spill_weights, a->spill_weights + spill, -0.0);
  }
  SearchKernel(c.isa)(record);
  platform::BandEnded(a->band);
}

bool WeighPairs(platform::Isa isa, int n, const double* centre, const double* mean_p,
                const double* mean_q, const double* guide_p, const double* guide_q,
                double filter_h, double* w, unsigned char* passed) {
  if (!platform::IsaRuns(isa)) return false;
  kWeighs.For(isa)(n, centre, mean_p, mean_q, guide_p, guide_q, filter_h, w, passed);
  return true;
}

}  // namespace tessary
