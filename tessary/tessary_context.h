// The immutable context of one call, built by the driver before any worker
// starts and read by every worker through its record. Nothing a worker
// reads lives at namespace scope, so calls on different threads never meet.
#pragma once

#include <atomic>

#include "isa.h"
#include "row_spans.h"
#include "stop.h"
#include "wavefront.h"

namespace tessary {

struct Context {
  int cols;
  int rows;
  int slices;
  const double* in_image;     // the noisy volume
  double* out_image;          // the value sums, which become the output
  const double* mean_image;   // the guide's local means
  const double* guide_image;  // the guide
  double* weights;            // the weight sums
  int search_radius;
  double filter_h;            // sigma / 3
  unsigned char rician;       // non-zero: the workers add squared magnitudes
  platform::Isa isa;          // the resolved kernel's instruction set
  const std::atomic<bool>* stop;  // set when the call is to stop; read between columns
  const platform::SpanGrid* centres;  // a masked call's centre rows per column; null: all
  std::atomic<int64_t>* steps = nullptr;  // counts the columns begun, for progress; null: not kept
};

// The rows of column (c, s) whose centres a worker weighs.
static inline platform::RowSpan CentreRows(const Context& x, int c, int s) {
  return x.centres == nullptr ? platform::RowSpan{0, x.rows - 1} : x.centres->At(c, s);
}

// Whether the call is to stop: the workers ask before each column of
// centres, and count it begun.
static inline bool StopRequested(const Context& c) {
  platform::CountStep(c.steps);
  return c.stop != nullptr && c.stop->load(std::memory_order_relaxed);
}

// The record each search worker receives, and only reads.
struct NlmThreadArgs {
  const Context* context;
  int first_slice;  // the slab, [first_slice, end_slice)
  int end_slice;
  int direction;    // +1 forward, -1 backward
  // Private sums for the slices [end_slice, spill_end_slice) past the slab,
  // indexed from the first voxel of slice end_slice. Other workers own those
  // slices, so this worker's additions there wait in these buffers until the
  // driver merges them after every worker has been joined.
  int spill_end_slice;
  double* spill_out;
  double* spill_weights;
  // With more threads than slabs, the record's band of columns (shared
  // spill buffers, cleared by the first band); by default every column.
  platform::BandPlace band{};
};

}  // namespace tessary
