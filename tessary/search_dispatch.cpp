// Picks the search kernel at run time: the widest vector instructions the
// processor (and its operating system) supports, so one build runs on any
// x86-64 processor and uses AVX-512 where there is one.
#include "pair_weight.h"
#include "search_worker.h"

#if defined(TESSARY_X86_KERNELS)
#include "search_isa.h"
#endif

namespace tessary {
namespace {

bool Supported(Kernel kernel) {
  switch (kernel) {
    case Kernel::kFastest:
    case Kernel::kScalar:
      return true;
#if defined(TESSARY_X86_KERNELS)
    case Kernel::kSse2:
      return true;  // part of x86-64
    case Kernel::kAvx2:
      // The checks include the operating system's saving of the wider
      // registers.
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2");
    case Kernel::kAvx512:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f");
#endif
    default:
      return false;
  }
}

void ScalarWeigh(int n, const double* centre, const double* mean_p, const double* mean_q,
                 const double* guide_p, const double* guide_q, double filter_h, double* w,
                 unsigned char* passed) {
  const WeightConstants k = WeightConstantsFor(filter_h);
  for (int i = 0; i < n; ++i)
    passed[i] = centre[i] != 0.0 && PairWeight(mean_p[i], mean_q[i], guide_p[i], guide_q[i], k, w[i]);
}

}  // namespace

const char* KernelName(Kernel kernel) {
  switch (kernel) {
    case Kernel::kFastest: return "fastest";
    case Kernel::kScalar: return "scalar";
    case Kernel::kSse2: return "sse2";
    case Kernel::kAvx2: return "avx2";
    case Kernel::kAvx512: return "avx512";
  }
  return "unknown";
}

bool KernelRuns(Kernel kernel) { return Supported(kernel); }

Kernel FastestKernel() {
  if (Supported(Kernel::kAvx512)) return Kernel::kAvx512;
  if (Supported(Kernel::kAvx2)) return Kernel::kAvx2;
  if (Supported(Kernel::kSse2)) return Kernel::kSse2;
  return Kernel::kScalar;
}

KernelFunction KernelThreadFunc(Kernel kernel) {
  if (kernel == Kernel::kFastest) kernel = FastestKernel();
  if (!Supported(kernel)) return nullptr;
  switch (kernel) {
#if defined(TESSARY_X86_KERNELS)
    case Kernel::kSse2: return &isa::ThreadFuncSse2;
    case Kernel::kAvx2: return &isa::ThreadFuncAvx2;
    case Kernel::kAvx512: return &isa::ThreadFuncAvx512;
#endif
    default: return &ScalarThreadFunc;
  }
}

void ThreadFunc(void* record) { KernelThreadFunc(Kernel::kFastest)(record); }

bool WeighPairs(Kernel kernel, int n, const double* centre, const double* mean_p,
                const double* mean_q, const double* guide_p, const double* guide_q,
                double filter_h, double* w, unsigned char* passed) {
  if (kernel == Kernel::kFastest) kernel = FastestKernel();
  if (!Supported(kernel)) return false;
  void (*weigh)(int, const double*, const double*, const double*, const double*, const double*,
                double, double*, unsigned char*) = &ScalarWeigh;
  switch (kernel) {
#if defined(TESSARY_X86_KERNELS)
    case Kernel::kSse2: weigh = &isa::WeighSse2; break;
    case Kernel::kAvx2: weigh = &isa::WeighAvx2; break;
    case Kernel::kAvx512: weigh = &isa::WeighAvx512; break;
#endif
    default: break;
  }
  weigh(n, centre, mean_p, mean_q, guide_p, guide_q, filter_h, w, passed);
  return true;
}

}  // namespace tessary
