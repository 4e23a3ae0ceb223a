// The second pass: the first estimate decides which noisy coefficients of a
// block survive, and under Rician noise each reconstructed value is replaced
// through the bias table.
#include "block_access.h"
#include "dct.h"
#include "kernels.h"
#include "workers.h"

namespace quillon {

void OracleBlock(const DctThreadArgs& a, const BlockTargets& target, int r0, int c0, int s0) {
  const Context& c = *a.context;
  const int plane = c.rows * c.cols;
  double noisy[64];
  double estimate[64];
  double noisy_coefficients[64];
  double estimate_coefficients[64];
  // Only the noisy block decides whether a block is skipped.
  if (!Contributes(GatherBlock(c.in_image, c.rows, plane, r0, c0, s0, noisy))) return;
  GatherBlock(c.out_image, c.rows, plane, r0, c0, s0, estimate);
  dct3(c.transforms, noisy, noisy_coefficients);
  dct3(c.transforms, estimate, estimate_coefficients);
  int kept = 0;
  for (int i = 0; i < 64; ++i) {
    if (c.sigma > IntegerMagnitude(estimate_coefficients[i])) {
      noisy_coefficients[i] = 0.0;
    } else {
      ++kept;
    }
  }
  const double w = 1.0 / static_cast<double>(kept + 1);
  idct3(c.transforms, noisy_coefficients, noisy);
  const bool correct = c.rician > 0;
  for (int p = 0; p < 4; ++p) {
    for (int j = 0; j < 4; ++j) {
      for (int k = 0; k < 4; ++k) {
        const int at = InPlane(c.rows, r0, c0, k, j);
        const double x = noisy[k + 4 * j + 16 * p];
        if (correct) {
          target.sum[p][at] = target.sum[p][at] + Corrected(x, a.bias_table, c.bias_len) * w;
        } else {
          target.sum[p][at] = target.sum[p][at] + w * x;
        }
        target.weight[p][at] = target.weight[p][at] + w;
      }
    }
  }
}

void OracleSlab(const DctThreadArgs& a) {
  const Context& c = *a.context;
  const int first_col = FirstColumn(a), last_col = LastColumn(a);
  for (int s0 = a.first_slice; s0 <= a.last_slice; ++s0) {
    if (!BeginBlockRow(a, s0)) return;
    const BlockTargets target = TargetsFor(a, c.acc_image, s0);
    for (int c0 = first_col; c0 <= last_col; BlockColumnDone(a, s0, c0), ++c0) {
      if (StopRequested(c)) return;
      const platform::RowSpan span = BlockRows(c, true, c0, s0);
      for (int r0 = span.first; r0 <= span.last; ++r0) OracleBlock(a, target, r0, c0, s0);
    }
    platform::RowDone(a.band, s0);
  }
}

void ThreadFunc2(void* args) { RunSlab(args, OracleKernel, OracleSlab); }

}  // namespace quillon
