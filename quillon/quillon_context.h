// The immutable context of one call, built by the driver before any worker
// starts and read by every worker through its record. Nothing a worker
// reads lives at namespace scope, so calls on different threads never meet.
#pragma once

#include <atomic>

#include "call.h"
#include "dct.h"
#include "row_spans.h"
#include "stop.h"
#include "wavefront.h"

namespace quillon {

struct Context {
  int rows;
  int cols;
  int slices;
  const double* in_image;  // the noisy volume
  double* out_image;       // pass 1: accumulator; pass 2: the first estimate, read only
  double* acc_image;       // pass 2 accumulator
  double* weights;         // block weights, both passes
  double sigma;
  int rician;              // the flag; positive: Rician noise
  Transforms transforms;   // tabla1, tabla2, W1, W2
  int bias_len;            // entries of one copy of the bias table (Rician noise)
  platform::Isa isa;       // the resolved kernels' instruction set
  const std::atomic<bool>* stop;  // set when the call is to stop; read between rows of blocks
  // A masked call's block-start rows per row of blocks (c0, s0), for each
  // pass; null: every block.
  const platform::SpanGrid* first_pass_blocks;
  const platform::SpanGrid* oracle_blocks;
  std::atomic<int64_t>* steps = nullptr;  // counts the rows of blocks begun, for progress; null: not kept
};

// Whether the call is to stop: the workers ask before each row of blocks,
// and count it begun.
static inline bool StopRequested(const Context& c) {
  platform::CountStep(c.steps);
  return c.stop != nullptr && c.stop->load(std::memory_order_relaxed);
}

// The block-start rows of the row of blocks (c0, s0) that a pass does.
static inline platform::RowSpan BlockRows(const Context& c, bool oracle, int c0, int s0) {
  const platform::SpanGrid* spans = oracle ? c.oracle_blocks : c.first_pass_blocks;
  return spans == nullptr ? platform::RowSpan{0, c.rows - 4} : spans->At(c0, s0);
}

// Blocks that start in a worker's last three start slices reach three slices
// past its slab, where the next workers add too. A worker adds those
// contributions into its own spill planes instead of the shared volumes; the
// driver adds the spill planes into the volumes in worker order after the
// join, so nothing is lost and every run gives the same bits.
inline constexpr int kSpillPlanes = 3;

// The record each block worker receives.
struct DctThreadArgs {
  const Context* context;
  int first_slice;           // first block-start slice, inclusive
  int last_slice;            // last block-start slice, inclusive
  const double* bias_table;  // the call's bias table, shared read only (pass 2, Rician noise)
  double* spill_sum;         // kSpillPlanes planes past the slab: sums
  double* spill_weights;     // the same planes: weights (both cleared by the worker)
  // With more threads than slabs, the record's band of block-start columns;
  // by default every column.
  platform::BandPlace band{};
};

// The block-start columns a record does.
static inline int FirstColumn(const DctThreadArgs& a) { return a.band.own ? a.band.first_column : 0; }
static inline int LastColumn(const DctThreadArgs& a) {
  return a.band.own ? a.band.last_column : a.context->cols - 4;
}

// Blocks that start in a band's first three columns reach into the band on
// its left.
inline constexpr int kBandHead = 3;

// Before row of blocks s0, after column c0's blocks, and after the row:
// the wavefront's waits and flags (no-ops without bands).
static inline bool BeginBlockRow(const DctThreadArgs& a, int s0) {
  return a.band.own == nullptr || platform::BeginRow(a.band, s0, a.context->stop);
}
static inline void BlockColumnDone(const DctThreadArgs& a, int s0, int c0) {
  if (a.band.own != nullptr && c0 == a.band.first_column + kBandHead - 1)
    platform::HeadsDone(a.band, s0);
}

}  // namespace quillon
