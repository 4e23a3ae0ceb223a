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
#include "stop.h"
#include "threads.h"
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

// Up to this many volumes are estimated at once.
constexpr int kMostLanes = 8;

bool Stopped(void* flag) { return static_cast<const platform::StopFlag*>(flag)->stopped(); }

struct VolumeJob {
  Request request;
  Result* result = nullptr;
  Workspace* workspace = nullptr;
  Status status = Status::kInterrupted;
};

void EstimateVolume(void* p) {
  auto& job = *static_cast<VolumeJob*>(p);
  job.status = Estimate(job.request, job.result, *job.workspace);
}

// Estimates every volume into per_volume[t] and hands take(t, status) each
// in order, until it returns other than kOk. With several threads the
// volumes go a batch at a time, each on a thread of its own (a volume's
// serial work, its background fit and the medians of its rounds, is most
// of a small volume's estimate); each estimate has the bits of a
// one-thread call, as every thread count does. Volumes read one at a time
// are copied but the batch's last, which stays valid until the next read.
// The calling thread asks the interrupt query; the volumes' estimates read
// what it found.
template <class Take>
Status EstimateEach(const SeriesRequest& request, Result* per_volume, Take take) {
  const VolumeView& first = request.first;
  const int64_t voxels = int64_t{first.rows} * first.cols * first.slices;
  const int lanes = static_cast<int>(
      std::min<int64_t>({platform::ThreadsFor(request.options), request.count, kMostLanes}));
  platform::StopFlag stop(request.options);
  platform::CallOptions each = request.options;
  each.threads = 1;
  each.interrupt_query = &Stopped;
  each.interrupt_context = &stop;
  each.progress = nullptr;
  std::vector<Workspace> workspaces(static_cast<std::size_t>(std::max(lanes, 1)));
  std::vector<std::vector<double>> copies(workspaces.size());
  std::vector<VolumeJob> jobs(workspaces.size());
  for (int64_t t0 = 0; t0 < request.count; t0 += lanes) {
    int n = static_cast<int>(std::min<int64_t>(lanes, request.count - t0));
    bool missing = false;
    for (int i = 0; i < n; ++i) {
      const int64_t t = t0 + i;
      const double* data = request.volume ? request.volume(t) : first.data + t * voxels;
      if (data == nullptr) {
        n = i;
        missing = true;
        break;
      }
      if (request.volume && i + 1 < n) {
        try {
          copies[i].assign(data, data + voxels);
        } catch (const std::bad_alloc&) {
          return Status::kOutOfMemory;
        }
        data = copies[i].data();
      }
      VolumeJob& job = jobs[i];
      job.request = Request{};
      job.request.volume = VolumeView{data, first.rows, first.cols, first.slices};
      job.request.model = request.model;
      job.request.coils = request.coils;
      job.request.off_grid = request.off_grid;
      job.request.options = n > 1 ? each : request.options;
      if (request.background_mask) job.request.background_mask = request.background_mask + t * voxels;
      job.result = &per_volume[t];
      job.workspace = &workspaces[i];
      job.status = Status::kInterrupted;
    }
    if (n == 1) {
      EstimateVolume(&jobs[0]);
    } else if (n > 1 && !platform::RunWorkers(jobs.data(), n, &EstimateVolume,
                                                [](int, VolumeJob&) {}, platform::Schedule::kThreads,
                                                n, &stop)) {
      return Status::kThreadsFailed;
    }
    for (int i = 0; i < n; ++i)
      if (const Status status = take(t0 + i, jobs[i].status); status != Status::kOk) return status;
    if (missing || stop.stopped()) return Status::kInterrupted;
  }
  return Status::kOk;
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
  auto take = [&](int64_t t, Status status) {
    Result& r = per_volume[t];
    if (status == Status::kTooLittleData) {
      r = Result{};
      r.sigma = r.background = r.tissue = std::numeric_limits<double>::quiet_NaN();
      return Status::kOk;
    }
    if (status != Status::kOk) return status;
    ++out.estimated;
    // A constant volume has no noise and no say in the series'.
    if (r.estimator == Estimator::kConstant) return Status::kOk;
    votes.push_back(Vote{r.sigma, static_cast<double>(std::max<int64_t>(r.samples, 1))});
    voters.push_back(&r);
    return Status::kOk;
  };
  if (const Status status = EstimateEach(request, per_volume, take); status != Status::kOk)
    return status;
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
