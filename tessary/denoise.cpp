#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "tessary_context.h"
#include "tessary_driver.h"
#include "local_mean.h"
#include "scratch.h"
#include "search_worker.h"
#include "tessary_slabs.h"
#include "stop.h"
#include "tessary.h"
#include "threads.h"

namespace tessary {
namespace {

// The private sums of one worker for the slices past its slab, which the
// worker clears as it starts (ThreadFunc).
struct Spill {
  std::unique_ptr<double[]> out;
  std::unique_ptr<double[]> weights;
  std::size_t count = 0;
};

void FillRecord(const Context& c, int w, const platform::Chunk& chunk, NlmThreadArgs& a,
                Spill& spill) {
  const Slab slab = SlabOf(w, c.slices, chunk);
  a.context = &c;
  a.first_slice = slab.first_slice;
  a.end_slice = slab.end_slice;
  a.direction = Direction(w);

  // The window reaches search_radius slices past the slab, never past the
  // volume.
  const int64_t reach = std::max<int64_t>(c.search_radius, 0);
  a.spill_end_slice =
      slab.first_slice == slab.end_slice
          ? slab.end_slice  // an empty slab adds nowhere
          : static_cast<int>(std::min<int64_t>(int64_t{slab.end_slice} + reach, c.slices));
  const auto spill_voxels =
      static_cast<size_t>(int64_t{a.spill_end_slice - slab.end_slice} * c.rows * c.cols);
  spill.out.reset(new double[spill_voxels]);
  spill.weights.reset(new double[spill_voxels]);
  spill.count = spill_voxels;
  a.spill_out = spill.out.get();
  a.spill_weights = spill.weights.get();
}

// Adds each worker's private sums into the shared ones, in worker order, so
// that the rounding is the same on every run. records: each slab's bands.
void MergeSpills(const std::vector<NlmThreadArgs>& records, const std::vector<Spill>& spills,
                 const Context& c) {
  const int plane = c.rows * c.cols;
  const std::size_t bands = records.size() / spills.size();
  for (size_t w = 0; w < spills.size(); ++w) {
    const int base = records[w * bands].end_slice * plane;
    const int count = static_cast<int>(spills[w].count);
    for (int i = 0; i < count; ++i) {
      c.out_image[base + i] += spills[w].out[i];
      c.weights[base + i] += spills[w].weights[i];
    }
  }
}

// The centres a masked call weighs: every centre whose forward half window
// (slices 0 .. R ahead, columns and rows -R .. R) holds a wanted voxel, for
// a pair adds into both of its voxels. A hull of rows per column, which may
// hold a few centres more; their pairs add only into unwanted voxels.
platform::SpanGrid CentresFor(const unsigned char* mask, int rows, int cols, int slices,
                              int radius) {
  const int64_t R = radius;
  const platform::SpanGrid wanted = platform::MaskSpans(mask, rows, cols, slices);
  return platform::Spread(wanted, cols, slices, {-R, R, 0, R, -R, R}, rows - 1);
}

// Whether voxel i takes part in no pair: its value or its guide value is
// not finite. It comes back as it went in.
inline bool PassesThrough(const Context& c, int64_t i) {
  return !std::isfinite(c.in_image[i]) || !std::isfinite(c.guide_image[i]);
}

// The estimate from the sums, voxel by voxel on the call's threads.
void FinalEstimate(const Context& c, double sigma, int coils, int n, platform::Schedule schedule,
                   int threads) {
  if (c.rician == 0) {
    platform::ForEachElement(n, threads, schedule, [&c](int64_t i) {
      c.out_image[i] = PassesThrough(c, i) ? c.in_image[i] : c.out_image[i] / c.weights[i];
    });
    return;
  }
  const double one_coil = (sigma + sigma) * sigma;
  const double bias = coils == 1 ? one_coil : one_coil * coils;
  platform::ForEachElement(n, threads, schedule, [&c, bias](int64_t i) {
    if (PassesThrough(c, i)) {
      c.out_image[i] = c.in_image[i];
      return;
    }
    const double x = c.out_image[i] / c.weights[i] - bias;
    c.out_image[i] = x < 0.0 ? 0.0 : std::sqrt(x);
    if (c.in_image[i] <= 0.0) c.out_image[i] = 0.0;
  });
}

// With more threads than slabs, a slab's columns are cut into bands of at
// least this many, run as a wavefront, and of at least 2R + 1 (so that
// bands two apart never add into the same voxels).
constexpr int kLeastBandColumns = 8;

// Everything after the local means and the own values are in place.
// Throws std::bad_alloc.
Status Run(const Context& c, double sigma, int coils, const platform::Chunk& chunk,
           platform::Schedule schedule, int threads, platform::StopFlag& stop) {
  const int n = c.rows * c.cols * c.slices;

  // A weight divides by 2h^2 and 0.5h^2. When those vanish (sigma 0, or so
  // small that its square underflows) every accepted pair would add NaN, so
  // no pair is weighed and the own-value estimate stands, as it does for a
  // negative sigma.
  const double h = c.filter_h;
  if ((h * 0.5) * h != 0.0) {
    const int workers = WorkerCount(c.slices, chunk);
    platform::Bands bands(
        schedule == platform::Schedule::kThreads, threads, workers, c.cols,
        std::max<int64_t>(kLeastBandColumns, 2 * int64_t{std::max(c.search_radius, 0)} + 1),
        [&](int w) { return SlabOf(w, c.slices, chunk).first_slice; });
    std::vector<NlmThreadArgs> records(static_cast<size_t>(workers) * bands.count());
    std::vector<Spill> spills(static_cast<size_t>(workers));
    // The search is nearly all of the call's work; its workers count its
    // columns of centres.
    stop.BeginPass(0.1, 1.0, int64_t{c.cols} * c.slices);
    auto fill = [&](int i, NlmThreadArgs& a) {
      const int w = i / bands.count(), b = i % bands.count();
      if (b == 0) {
        FillRecord(c, w, chunk, a, spills[w]);
      } else {
        a = records[i - b];  // the slab's record, filled just before
      }
      // Bands in the slab's direction: the first is the last columns of a
      // backward slab.
      a.band = bands.Place(i, a.direction != 1);
    };
    if (!platform::RunWorkers(records.data(), static_cast<int>(records.size()), ThreadFunc, fill,
                              schedule, threads, &stop, bands.abandoned()))
      return Status::kThreadsFailed;
    if (stop.stopped()) return Status::kInterrupted;
    MergeSpills(records, spills, c);
  }
  FinalEstimate(c, sigma, coils, n, schedule, threads);
  return Status::kOk;
}

}  // namespace

Status Denoise(const Request& q, platform::Schedule schedule) noexcept {
  if (q.rows < 0 || q.cols < 0 || q.slices < 0) return Status::kInvalidRequest;
  const int64_t count = int64_t{q.rows} * q.cols * q.slices;
  if (count > 2147483647) return Status::kInvalidRequest;
  if (count == 0) return Status::kOk;
  if (q.noisy == nullptr || q.guide == nullptr || q.denoised == nullptr ||
      !q.chunk.Valid(q.slices))
    return Status::kInvalidRequest;
  if (q.sigma == 0.0) {  // no noise: the volume comes back as it went in, bit for bit
    std::copy_n(q.noisy, count, q.denoised);
    return Status::kOk;
  }
  const platform::Isa isa = platform::ResolveIsa(q.options.isa);
  if (isa == platform::Isa::kAuto) return Status::kIsaUnavailable;
  try {
    const auto n = static_cast<size_t>(count);
    platform::Scratch own_mean, own_weights;
    double* mean = q.local_mean != nullptr ? q.local_mean : own_mean.Allocate(n);
    double* weights = q.weights != nullptr ? q.weights : own_weights.Allocate(n);
    // The local means, and each voxel's own value and weight, in one sweep
    // on the call's threads: on fresh host arrays it is their first touch,
    // page by page. A voxel whose value or guide value is not finite has
    // no mean (NaN), and the gate lets no pair with it through: it never
    // reaches a neighbour, and no neighbour reaches it. The sweep takes
    // seconds on a large volume under a slow build, so an interrupt is
    // heard during it too.
    platform::StopFlag stop(q.options);
    const int plane = q.rows * q.cols;
    platform::ForEachRange(
        q.slices, (platform::kRangeElements + plane - 1) / plane, platform::ThreadsFor(q.options),
        schedule, [&q, mean, weights, plane](int64_t first, int64_t end) {
          BuildLocalMeanSlices(q.guide, mean, q.rows, q.cols, q.slices, static_cast<int>(first),
                               static_cast<int>(end));
          for (int64_t i = first * plane; i < end * plane; ++i) {
            q.denoised[i] = q.rician != 0 ? q.noisy[i] * q.noisy[i] : q.noisy[i];
            weights[i] = 1.0;
            if (!std::isfinite(q.noisy[i])) mean[i] = std::numeric_limits<double>::quiet_NaN();
          }
        },
        &stop);
    if (stop.stopped()) return Status::kInterrupted;
    platform::SpanGrid centres;
    if (q.mask != nullptr)
      centres = CentresFor(q.mask, q.rows, q.cols, q.slices, std::max(q.search_radius, 0));
    const Context context{q.cols,     q.rows,   q.slices,        q.noisy,
                          q.denoised, mean,     q.guide,         weights,
                          q.search_radius, q.sigma / 3.0, q.rician, isa, stop.flag(),
                          q.mask != nullptr ? &centres : nullptr, stop.steps()};
    const Status status =
        Run(context, q.sigma, q.coils, q.chunk, schedule, platform::ThreadsFor(q.options), stop);
    if (status == Status::kOk && q.mask != nullptr)
      platform::KeepInputOutside(q.mask, q.noisy, q.denoised, n);
    return status;
  } catch (const std::bad_alloc&) {
    return Status::kOutOfMemory;
  }
}

Status Denoise(const Request& request) noexcept {
  return Denoise(request, platform::Schedule::kThreads);
}

}  // namespace tessary
