#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "quillon_context.h"
#include "dct.h"
#include "quillon_driver.h"
#include "quillon.h"
#include "rician_bias.h"
#include "row_spans.h"
#include "scratch.h"
#include "quillon_slabs.h"
#include "stop.h"
#include "threads.h"
#include "workers.h"

namespace quillon {
namespace {

// A pass's records: kWorkers slabs, each of `bands` bands, slab by slab.
using Records = std::vector<DctThreadArgs>;

// With more threads than slabs, a pass cuts each slab's block-start columns
// into bands of at least this many, run as a wavefront.
constexpr int kLeastBandColumns = 8;

// Spill planes for every worker whose slab is not empty, left for each
// worker to clear as it starts a pass.
class SpillPlanes {
 public:
  SpillPlanes(int rows, int cols, int slices, const platform::Chunk& chunk)
      : plane_(static_cast<std::size_t>(rows) * cols) {
    for (int k = 0; k < kWorkers; ++k) {
      const Slab slab = SlabOf(k, slices, chunk);
      offset_[k] = used_;
      if (slab.first_slice < slab.end_slice) used_ += kSpillPlanes * plane_;
    }
    sums_.reset(new double[used_]);
    weights_.reset(new double[used_]);
  }

  double* Sums(int k) { return sums_.get() + offset_[k]; }
  double* Weights(int k) { return weights_.get() + offset_[k]; }

  // Adds each worker's planes into the slices past its slab, in worker order.
  void AddInto(const Records& records, double* sum_volume, double* weight_volume) {
    const std::size_t bands = records.size() / kWorkers;
    for (int k = 0; k < kWorkers; ++k) {
      const DctThreadArgs& r = records[k * bands];
      if (r.first_slice > r.last_slice) continue;
      for (int p = 0; p < kSpillPlanes; ++p) {
        const std::size_t base = static_cast<std::size_t>(r.last_slice + 1 + p) * plane_;
        const double* s = Sums(k) + p * plane_;
        const double* w = Weights(k) + p * plane_;
        for (std::size_t i = 0; i < plane_; ++i) {
          sum_volume[base + i] = sum_volume[base + i] + s[i];
          weight_volume[base + i] = weight_volume[base + i] + w[i];
        }
      }
    }
  }

 private:
  std::size_t plane_;
  std::size_t used_ = 0;
  std::array<std::size_t, kWorkers> offset_{};
  std::unique_ptr<double[]> sums_;
  std::unique_ptr<double[]> weights_;
};

// How a pass runs: its schedule, its threads and the call's stop flag.
struct PassRun {
  platform::Schedule schedule;
  int threads;
  platform::StopFlag* stop;
  platform::Chunk chunk;
};

bool RunPass(const Context& context, const double* bias_table, const PassRun& run,
             platform::WorkerFunction worker, Records& records, SpillPlanes& spill) {
  platform::Bands bands(run.schedule == platform::Schedule::kThreads, run.threads, kWorkers,
                        context.cols - 3, kLeastBandColumns, [&](int k) {
                          return SlabOf(k, context.slices, run.chunk).first_slice;
                        });
  records.assign(static_cast<std::size_t>(kWorkers) * bands.count(), DctThreadArgs{});
  auto fill = [&](int i, DctThreadArgs& r) {
    const int k = i / bands.count();
    const Slab slab = SlabOf(k, context.slices, run.chunk);
    r = DctThreadArgs{};
    r.context = &context;
    r.first_slice = slab.first_slice;
    r.last_slice = slab.end_slice - 1;
    r.bias_table = bias_table;
    r.spill_sum = spill.Sums(k);
    r.spill_weights = spill.Weights(k);
    r.band = bands.Place(i);
  };
  return platform::RunWorkers(records.data(), static_cast<int>(records.size()), worker, fill,
                              run.schedule, run.threads, run.stop, bands.abandoned());
}

// What a voxel that no block reached holds: its input where that is
// positive (every block over it held a value that is not finite) or not
// finite (passed through), else 0 (every block over it was non-positive).
inline double Unreached(double input) {
  return input > 0.0 || !std::isfinite(input) ? input : 0.0;
}

// Which blocks a masked call must do. The oracle pass: every block over a
// wanted voxel. The first pass: every block over a voxel of those blocks,
// whose first estimate the oracle pass reads. Each is a hull of rows per
// row of blocks, which may hold a few blocks more; those add only into
// voxels that no wanted voxel depends on.
struct MaskedBlocks {
  platform::SpanGrid first_pass;
  platform::SpanGrid oracle;
};

MaskedBlocks BlocksFor(const unsigned char* mask, int rows, int cols, int slices) {
  using platform::Reach;
  const int block_cols = cols - 3, block_slices = slices - 3, last_r0 = rows - 4;
  const Reach blocks_over{0, 3, 0, 3, -3, 0};  // block starts whose block holds a voxel
  const Reach voxels_of{-3, 0, -3, 0, 0, 3};   // voxels that a block start's block holds
  const platform::SpanGrid wanted = platform::MaskSpans(mask, rows, cols, slices);
  platform::SpanGrid oracle = Spread(wanted, block_cols, block_slices, blocks_over, last_r0);
  const platform::SpanGrid read = Spread(oracle, cols, slices, voxels_of, rows - 1);
  return {Spread(read, block_cols, block_slices, blocks_over, last_r0), std::move(oracle)};
}

// The two passes over volumes that are all in place.
Status RunPasses(const Context& c, const double* bias_table, double* first_estimate,
                 const unsigned char* mask, const PassRun& run) {
  const std::size_t count = static_cast<std::size_t>(c.rows) * c.cols * c.slices;
  // The voxel-by-voxel steps between the passes run on the pass's threads
  // too: on a fresh host array they are its first touch, page by page.
  const auto each_voxel = [&run, count](const auto& step) {
    platform::ForEachElement(static_cast<int64_t>(count), run.threads, run.schedule, step);
  };
  each_voxel([&c](int64_t i) {
    c.out_image[i] = 0.0;
    c.weights[i] = 0.0;
  });
  Records records;
  SpillPlanes spill(c.rows, c.cols, c.slices, run.chunk);

  // Each pass is half the work; its workers count its rows of blocks.
  const int64_t rows_of_blocks =
      c.cols >= 4 && c.slices >= 4 ? int64_t{c.cols - 3} * (c.slices - 3) : 0;
  // Pass 1: hard thresholding gives the first estimate.
  run.stop->BeginPass(0.0, 0.5, rows_of_blocks);
  if (!RunPass(c, bias_table, run, ThreadFunc, records, spill)) return Status::kThreadsFailed;
  if (run.stop->stopped()) return Status::kInterrupted;
  spill.AddInto(records, c.out_image, c.weights);
  // Normalising, and clearing the oracle pass's sums in the same sweep.
  each_voxel([&c, first_estimate](int64_t i) {
    c.out_image[i] = c.weights[i] == 0.0 ? Unreached(c.in_image[i]) : c.out_image[i] / c.weights[i];
    if (first_estimate != nullptr) first_estimate[i] = c.out_image[i];
    c.acc_image[i] = 0.0;
    c.weights[i] = 0.0;
  });
  if (mask != nullptr && first_estimate != nullptr)
    platform::KeepInputOutside(mask, c.in_image, first_estimate, count);

  // Pass 2: the oracle pass, read against the first estimate.
  run.stop->BeginPass(0.5, 1.0, rows_of_blocks);
  if (!RunPass(c, bias_table, run, ThreadFunc2, records, spill)) return Status::kThreadsFailed;
  if (run.stop->stopped()) return Status::kInterrupted;
  spill.AddInto(records, c.acc_image, c.weights);
  each_voxel([&c](int64_t i) {
    // The pass skips the same blocks as the first, so the same voxels are
    // unreached; they take the same value, past the clearing of negatives.
    if (c.weights[i] == 0.0) {
      c.out_image[i] = Unreached(c.in_image[i]);
      return;
    }
    c.out_image[i] = c.acc_image[i] / c.weights[i];
    // Any non-zero flag clears negatives, a negative one included.
    if (c.rician != 0 && c.out_image[i] < 0.0) c.out_image[i] = 0.0;
  });
  if (mask != nullptr) platform::KeepInputOutside(mask, c.in_image, c.out_image, count);
  return Status::kOk;
}

// rows*cols*slices, or -1 for negative extents or more than 2^31 - 1 voxels.
int64_t VoxelCount(const Request& q) {
  if (q.rows < 0 || q.cols < 0 || q.slices < 0) return -1;
  const int64_t count = int64_t{q.rows} * q.cols * q.slices;
  return count <= 2147483647 ? count : -1;
}

// The caller's buffer, or else one of the call's own.
double* ScratchOr(double* given, platform::Scratch& own, std::size_t count) {
  if (given != nullptr) return given;
  return own.Allocate(count);
}

}  // namespace

int64_t BiasTableSize(const Request& q) noexcept {
  const int64_t count = VoxelCount(q);
  if (q.rician <= 0 || count <= 0 || q.noisy == nullptr) return 0;
  return BiasLength(q.table_largest >= 0.0 ? q.table_largest : LargestValue(q.noisy, count));
}

Status Denoise(const Request& q, platform::Schedule schedule) noexcept {
  const int64_t count = VoxelCount(q);
  if (count < 0) return Status::kInvalidRequest;
  if (count == 0) return Status::kOk;
  if (q.noisy == nullptr || q.denoised == nullptr || !q.chunk.Valid(q.slices))
    return Status::kInvalidRequest;
  if (q.sigma == 0.0) {  // no noise: the volume comes back as it went in, bit for bit
    std::copy_n(q.noisy, count, q.denoised);
    if (q.first_estimate != nullptr) std::copy_n(q.noisy, count, q.first_estimate);
    return Status::kOk;
  }
  const platform::Isa isa = platform::ResolveIsa(q.options.isa);
  if (isa == platform::Isa::kAuto) return Status::kIsaUnavailable;
  const int64_t bias_size = BiasTableSize(q);
  if (bias_size < 0) return Status::kValueRange;
  if (q.bias_table != nullptr && q.bias_table_size < bias_size) return Status::kInvalidRequest;

  try {
    platform::Scratch own_weights, own_accumulator, own_bias;
    const auto n = static_cast<std::size_t>(count);
    const int bias_len = static_cast<int>(bias_size);
    platform::StopFlag stop(q.options);
    const PassRun run{schedule, platform::ThreadsFor(q.options), &stop, q.chunk};
    double* bias_table = nullptr;
    if (q.rician > 0) {
      bias_table = ScratchOr(q.bias_table, own_bias, static_cast<std::size_t>(bias_size));
      const bool ready = q.bias_table != nullptr && q.bias_table_ready;
      if (!ready && !RicianBias(bias_len, bias_table, q.sigma, run.threads, &stop, q.coils))
        return Status::kInterrupted;
    }
    MaskedBlocks masked;
    const bool skips = q.mask != nullptr && q.rows >= 4 && q.cols >= 4 && q.slices >= 4;
    if (skips) masked = BlocksFor(q.mask, q.rows, q.cols, q.slices);
    const Context context{q.rows,
                          q.cols,
                          q.slices,
                          q.noisy,
                          q.denoised,
                          ScratchOr(q.accumulator, own_accumulator, n),
                          ScratchOr(q.weights, own_weights, n),
                          q.sigma,
                          q.rician,
                          MakeTransforms(),
                          bias_len,
                          isa,
                          stop.flag(),
                          skips ? &masked.first_pass : nullptr,
                          skips ? &masked.oracle : nullptr,
                          stop.steps()};
    return RunPasses(context, bias_table, q.first_estimate, q.mask, run);
  } catch (const std::bad_alloc&) {
    return Status::kOutOfMemory;
  }
}

Status Denoise(const Request& request) noexcept {
  return Denoise(request, platform::Schedule::kThreads);
}

}  // namespace quillon
