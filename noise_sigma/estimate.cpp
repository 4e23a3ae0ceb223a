// The estimator of one volume: the passes over its blocks on the worker
// threads, then the background estimate (background.cpp), the tissue
// estimate's rounds (tissue.cpp) and the verdict between them (verdict.cpp).
//
// sigma, the SNR of each block and the set of flat blocks depend on one
// another; up to eight rounds from the plain median settle them on every
// volume measured (the last round changes the estimate by well under 0.5%).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "background.h"
#include "block_stats.h"
#include "noise_sigma.h"
#include "quantisation.h"
#include "stop.h"
#include "threads.h"
#include "tissue.h"
#include "verdict.h"
#include "workspace.h"

namespace noise_sigma {

namespace {

constexpr int kRounds = 8;
constexpr double kSettled = 1e-4;
constexpr int kMostThreads = 8;

struct Slab {
  int first = 0, end = 0;
};

// Worker k of `count` takes block slices [first, end): a fixed split, and
// every block's entries are the same whichever worker computes them.
Slab SlabOf(int k, int count, int slices) {
  return Slab{static_cast<int>(int64_t{slices} * k / count),
              static_cast<int>(int64_t{slices} * (k + 1) / count)};
}

// The call's threads (its cap, the process's affinity and
// DENOISERS_THREADS), at most kMostThreads and one per block slice.
int ThreadCount(const platform::CallOptions& options, int slices) {
  return std::max(1, std::min({platform::ThreadsFor(options), kMostThreads, slices}));
}

struct Pass {
  const VolumeView* volume;
  const BlockGrid* grid;
  BlockStats* stats;
  ValueGrid value_grid;     // checked by the block pass; its step used once checked
  TissueRound round;
  TissueScratch* scratch;
};

struct Record {
  const Pass* pass;
  Slab slab;
  SlabSummary summary;
};

void BlockWorker(void* p) {
  auto& r = *static_cast<Record*>(p);
  const Pass& pass = *r.pass;
  r.summary = FillBlocks(*pass.volume, *pass.grid, pass.value_grid, r.slab.first, r.slab.end, *pass.stats);
}

void SpreadWorker(void* p) {
  auto& r = *static_cast<Record*>(p);
  FillSpread(*r.pass->grid, r.pass->value_grid.step > 0.0, r.slab.first, r.slab.end, *r.pass->stats);
}

void ScaleWorker(void* p) {
  auto& r = *static_cast<Record*>(p);
  const Pass& pass = *r.pass;
  const int64_t plane = int64_t{pass.grid->rows} * pass.grid->cols;
  ScaleBlocks(pass.round, *pass.stats, r.slab.first * plane, r.slab.end * plane, *pass.scratch);
}

// Runs `worker` over the block slices split among `threads` workers; the
// calling thread asks the interrupt query meanwhile, and a stop ends the
// call after the pass.
Status RunPass(const Pass& pass, int threads, platform::WorkerFunction worker,
               std::vector<Record>& records, platform::StopFlag& stop) {
  const int slices = pass.grid->slices;
  const bool started = platform::RunWorkers(
      records.data(), threads, worker,
      [&](int k, Record& r) { r = Record{&pass, SlabOf(k, threads, slices), SlabSummary{}}; },
      platform::Schedule::kThreads, threads, &stop);
  if (!started) return Status::kThreadsFailed;
  return stop.stopped() ? Status::kInterrupted : Status::kOk;
}

// The background fit, on a thread of its own.
struct BackgroundJob {
  const VolumeView* volume;
  const BlockGrid* grid;
  const BlockStats* stats;
  double step;
  int coils;
  BackgroundFit fit;
};

void BackgroundWorker(void* p) {
  auto& job = *static_cast<BackgroundJob*>(p);
  job.fit = FitBackground(*job.volume, *job.grid, *job.stats, BlockRegion::Whole(*job.grid), job.step,
                          job.coils);
}

Status EstimateIn(const Request& request, Result* result, Workspace& workspace) {
  const VolumeView& volume = request.volume;
  const BlockGrid grid = GridOf(volume);
  if (request.background_mask)
    std::fill_n(request.background_mask, int64_t{volume.rows} * volume.cols * volume.slices, 0);
  if (grid.Count() < kMinBlocks) return Status::kTooLittleData;
  const int64_t count = grid.Count();
  const bool rician = request.model == NoiseModel::kRician;

  BlockStats& stats = workspace.stats;
  stats.Reserve(count);
  const int threads = ThreadCount(request.options, grid.slices);
  platform::StopFlag stop(request.options);
  std::vector<Record> records(threads);
  Pass pass{&volume, &grid, &stats, request.off_grid ? ValueGrid{} : SuggestedGrid(volume),
            TissueRound{}, nullptr};

  if (const Status s = RunPass(pass, threads, BlockWorker, records, stop); s != Status::kOk)
    return s;
  SlabSummary all;
  for (const Record& r : records) {
    const SlabSummary& s = r.summary;
    all.data_blocks += s.data_blocks;
    all.off_grid += s.off_grid;
    if (!s.any_finite) continue;
    all.lowest = all.any_finite ? std::min(all.lowest, s.lowest) : s.lowest;
    all.highest = all.any_finite ? std::max(all.highest, s.highest) : s.highest;
    all.any_finite = true;
  }
  // A constant volume (an all-zero one too) has no noise; one without a
  // single finite voxel has nothing to estimate from.
  if (all.any_finite && all.lowest == all.highest) {
    *result = Result{};
    result->estimator = Estimator::kConstant;
    result->confidence = Confidence::kHigh;
    return Status::kOk;
  }
  if (all.data_blocks < kMinBlocks) return Status::kTooLittleData;
  if (all.off_grid > 0) pass.value_grid = ValueGrid{};
  if (const Status s = RunPass(pass, threads, SpreadWorker, records, stop); s != Status::kOk)
    return s;

  Findings findings;
  findings.rician = rician;
  findings.step = pass.value_grid.step;
  findings.coils = rician ? request.coils : 1;
  // The background fit and the tissue's rounds read the blocks and write
  // nothing the other reads: with a second thread the fit runs beside the
  // rounds (each is about half of the estimate's serial work).
  BackgroundJob background{&volume, &grid, &stats, findings.step, request.coils, BackgroundFit{}};
  platform::WorkerGroup beside(1);
  const bool fit_beside = rician && threads > 1 && beside.Start(&BackgroundWorker, &background);
  if (rician && !fit_beside) BackgroundWorker(&background);

  TissueScratch& scratch = workspace.tissue;
  scratch.Reserve(count);
  pass.scratch = &scratch;
  findings.first_guess = FirstTissueGuess(stats, count);
  pass.round.sigma = findings.first_guess;
  pass.round.rician = rician;
  pass.round.coils = rician ? request.coils : 1;
  pass.round.step = findings.step;
  for (int round = 0; round < kRounds && pass.round.sigma > 0.0; ++round) {
    if (const Status s = RunPass(pass, threads, ScaleWorker, records, stop); s != Status::kOk)
      return s;
    TissueRound next;
    const TissueFit fit = MeasureRound(pass.round, stats, count, scratch, &next);
    if (fit.blocks == 0) break;  // no block is flat (or bright enough) to read noise from
    findings.tissue = fit;
    // Settled: a further round would move sigma by a fraction of its
    // sampling error.
    if (std::fabs(next.sigma - pass.round.sigma) <= kSettled * pass.round.sigma) break;
    pass.round = next;
  }
  beside.JoinAll();
  findings.background = background.fit;
  *result = Verdict(findings);
  // The air marked is the air the verdict used (several coils' dark tissue
  // is set aside there).
  if (request.background_mask && result->estimator == Estimator::kBackground)
    MarkBackground(volume, grid, stats, BlockRegion::Whole(grid), findings.background,
                   request.background_mask);
  return Status::kOk;
}

}  // namespace

Status Estimate(const Request& request, Result* result, Workspace& workspace) {
  try {
    return EstimateIn(request, result, workspace);
  } catch (const std::bad_alloc&) {
    return Status::kOutOfMemory;
  }
}

Status Estimate(const Request& request, Result* result) {
  Workspace workspace;
  return Estimate(request, result, workspace);
}

Status Estimate(const Request& request, double* sigma) {
  Result result;
  const Status status = Estimate(request, &result);
  if (status == Status::kOk) *sigma = result.sigma;
  return status;
}

}  // namespace noise_sigma
