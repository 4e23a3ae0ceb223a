// The first pass: every block is transformed, each coefficient whose integer
// magnitude is below 2.7 sigma is cleared, and the reconstruction is added
// with the weight 1 / (1 + coefficients kept).
#include "block_access.h"
#include "dct.h"
#include "kernels.h"
#include "workers.h"

namespace quillon {

void HardThresholdBlock(const DctThreadArgs& a, const BlockTargets& target, double threshold,
                        int r0, int c0, int s0) {
  const Context& c = *a.context;
  double block[64];
  double coefficients[64];
  if (!Contributes(GatherBlock(c.in_image, c.rows, c.rows * c.cols, r0, c0, s0, block))) return;
  dct3(c.transforms, block, coefficients);
  int kept = 0;
  for (int i = 0; i < 64; ++i) {
    if (threshold > IntegerMagnitude(coefficients[i])) {
      coefficients[i] = 0.0;
    } else {
      ++kept;  // also when the threshold is not a number
    }
  }
  const double w = 1.0 / static_cast<double>(kept + 1);
  idct3(c.transforms, coefficients, block);
  for (int p = 0; p < 4; ++p) {
    for (int j = 0; j < 4; ++j) {
      for (int k = 0; k < 4; ++k) {
        const int at = InPlane(c.rows, r0, c0, k, j);
        target.sum[p][at] = target.sum[p][at] + w * block[k + 4 * j + 16 * p];
        target.weight[p][at] = target.weight[p][at] + w;
      }
    }
  }
}

void HardThresholdSlab(const DctThreadArgs& a) {
  const Context& c = *a.context;
  const double threshold = 2.7 * c.sigma;
  const int first_col = FirstColumn(a), last_col = LastColumn(a);
  for (int s0 = a.first_slice; s0 <= a.last_slice; ++s0) {
    if (!BeginBlockRow(a, s0)) return;
    const BlockTargets target = TargetsFor(a, c.out_image, s0);
    for (int c0 = first_col; c0 <= last_col; BlockColumnDone(a, s0, c0), ++c0) {
      if (StopRequested(c)) return;
      const platform::RowSpan span = BlockRows(c, false, c0, s0);
      for (int r0 = span.first; r0 <= span.last; ++r0) HardThresholdBlock(a, target, threshold, r0, c0, s0);
    }
    platform::RowDone(a.band, s0);
  }
}

void ThreadFunc(void* args) { RunSlab(args, HardThresholdKernel, HardThresholdSlab); }

}  // namespace quillon
