// A series' pooled sigma. Every volume of a 4-D acquisition shares one
// noise level, but a volume's own estimate can be far off: a diffusion
// volume of little signal has few blocks bright enough to read Rician noise
// from, a small volume few blocks at all (single-volume estimates on a real
// 6x10x10 series scatter with a coefficient of variation of 0.28). The
// median weighted by the samples each estimate rests on follows the
// volumes that carry the evidence and ignores the few read wrong.
#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <vector>

#include "noise_sigma.h"
#include "repeats.h"
#include "workspace.h"

namespace noise_sigma {

namespace {

struct Vote {
  double sigma;
  double weight;
};

// The lower weighted median of the votes: the smallest sigma with at least
// half the weight at or below it.
double WeightedMedian(std::vector<Vote>& votes) {
  std::sort(votes.begin(), votes.end(), [](const Vote& a, const Vote& b) { return a.sigma < b.sigma; });
  double total = 0.0;
  for (const Vote& v : votes) total += v.weight;
  double below = 0.0;
  for (const Vote& v : votes) {
    below += v.weight;
    if (below >= 0.5 * total) return v.sigma;
  }
  return votes.back().sigma;
}

}  // namespace

Status EstimateSeries(const SeriesRequest& request, Result* per_volume, SeriesResult* series) {
  const VolumeView& first = request.first;
  const int64_t voxels = int64_t{first.rows} * first.cols * first.slices;
  std::vector<Vote> votes;
  std::vector<const Result*> voters;
  SeriesResult out;
  const auto volume = [&](int64_t t) {
    return request.volume ? request.volume(t) : first.data + t * voxels;
  };
  Workspace workspace;
  for (int64_t t = 0; t < request.count; ++t) {
    Request one;
    one.volume = VolumeView{volume(t), first.rows, first.cols, first.slices};
    if (one.volume.data == nullptr) return Status::kInterrupted;
    one.model = request.model;
    one.coils = request.coils;
    one.off_grid = request.off_grid;
    one.options = request.options;
    if (request.background_mask) one.background_mask = request.background_mask + t * voxels;
    Result& r = per_volume[t];
    const Status status = Estimate(one, &r, workspace);
    if (status == Status::kTooLittleData) {
      r = Result{};
      r.sigma = r.background = r.tissue = std::numeric_limits<double>::quiet_NaN();
      continue;
    }
    if (status != Status::kOk) return status;
    ++out.estimated;
    // A constant volume has no noise and no say in the series'.
    if (r.estimator == Estimator::kConstant) continue;
    votes.push_back(Vote{r.sigma, static_cast<double>(std::max<int64_t>(r.samples, 1))});
    voters.push_back(&r);
  }
  if (!votes.empty()) {
    const double pooled = WeightedMedian(votes);
    // The pooled result is the volume's whose estimate is the median, so
    // its diagnostics describe the sigma given.
    for (const Result* r : voters)
      if (r->sigma == pooled) {
        out.pooled = *r;
        break;
      }
  } else if (out.estimated > 0) {
    // Every volume with an estimate is constant: the series has no noise.
    out.pooled.estimator = Estimator::kConstant;
    out.pooled.confidence = Confidence::kHigh;
  } else {
    // No volume holds enough data alone: the series side by side, one
    // volume of count * slices slices (they are consecutive in memory).
    if (request.count < 2 || int64_t{first.slices} * request.count > std::numeric_limits<int>::max())
      return Status::kTooLittleData;
    // Volumes read one at a time are gathered first (each too small or too
    // empty for an estimate of its own).
    std::vector<double> gathered;
    if (request.volume) {
      try {
        gathered.resize(static_cast<std::size_t>(voxels * request.count));
      } catch (const std::bad_alloc&) {
        return Status::kOutOfMemory;
      }
      for (int64_t t = 0; t < request.count; ++t) {
        const double* data = volume(t);
        if (data == nullptr) return Status::kInterrupted;
        std::copy(data, data + voxels, gathered.begin() + t * voxels);
      }
    }
    Request all;
    all.volume = VolumeView{request.volume ? gathered.data() : first.data, first.rows, first.cols,
                            static_cast<int>(int64_t{first.slices} * request.count)};
    all.model = request.model;
    all.coils = request.coils;
    all.off_grid = request.off_grid;
    all.options = request.options;
    // The volumes lie side by side in the mask as in the data.
    all.background_mask = request.background_mask;
    const Status status = Estimate(all, &out.pooled);
    if (status != Status::kOk) return status;
  }
  // Repeats measure the noise directly; anatomy at the finest scale only
  // ever raises the spatial estimates, so the lower one holds.
  out.repeats = std::numeric_limits<double>::quiet_NaN();
  // Not for several coils: their magnitudes' noise is far from Gaussian up
  // to many sigma (a sum of squares of 4 or 8 coils read 11% low here).
  if (request.count > 1 && request.coils == 1 && out.pooled.sigma > 0.0) {
    RepeatFit repeats;
    const Status status = FitRepeats(first, request.count, request.volume, request.model,
                                     out.pooled.sigma, &repeats);
    if (status != Status::kOk) return status;
    out.repeats = repeats.sigma;
    if (repeats.sigma < out.pooled.sigma && repeats.sigma >= kLeastRepeatShare * out.pooled.sigma) {
      out.pooled.sigma = repeats.sigma;
      out.pooled.estimator = Estimator::kRepeats;
      out.pooled.samples = repeats.voxels;
    }
  }
  *series = out;
  return Status::kOk;
}

}  // namespace noise_sigma
