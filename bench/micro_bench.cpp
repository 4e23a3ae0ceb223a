// Micro-benchmarks of the two filters' inner parts: one block's forward and
// inverse transform, one slab of each quillon pass, and tessary's pairs, on
// one worker's share of a realistic volume.
//
// Usage: micro_bench [--volume=DIR] [Google Benchmark options]
// DIR holds noisy.npy (and, for tessary's guide, quillon.npy) as written by
// bench/pipeline.py; without it a synthetic head of the same size is used.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "npy.h"
#include "quillon/quillon_context.h"
#include "quillon/dct.h"
#include "quillon/quillon.h"
#include "quillon/rician_bias.h"
#include "quillon/quillon_slabs.h"
#include "platform/threads.h"
#include "quillon/workers.h"
#include "tessary/tessary_context.h"
#include "tessary/local_mean.h"
#include "tessary/search_worker.h"
#include "tessary/tessary_slabs.h"
#include "tessary/tessary.h"

namespace {

constexpr double kSigma = 0.03 * 255.0;  // the whole-call benchmark's noise

struct Volume {
  int rows = 0, cols = 0, slices = 0;
  std::vector<double> noisy, guide;
  const char* source = "";
  size_t size() const { return static_cast<size_t>(rows) * cols * slices; }
};

std::string volume_dir;

bool Load(const std::string& path, npy::Array& a) {
  try {
    a = npy::Read(path);
    return a.shape.size() == 3;
  } catch (const std::exception&) {
    return false;
  }
}

// Nested ellipsoids from 0 to 255 with Rician noise of kSigma (fixed seed).
void Synthetic(Volume& v) {
  v.rows = 181;
  v.cols = 217;
  v.slices = 181;
  v.noisy.resize(v.size());
  uint64_t state = 20240601;
  auto gauss = [&state] {
    double s = 0;
    for (int k = 0; k < 12; ++k) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      s += static_cast<double>(state >> 11) / 9007199254740992.0;
    }
    return s - 6.0;
  };
  size_t i = 0;
  for (int s = 0; s < v.slices; ++s)
    for (int c = 0; c < v.cols; ++c)
      for (int r = 0; r < v.rows; ++r, ++i) {
        const double x = 2.0 * r / (v.rows - 1) - 1, y = 2.0 * c / (v.cols - 1) - 1,
                     z = 2.0 * s / (v.slices - 1) - 1;
        auto e = [&](double a, double b, double d) { return x * x / a + y * y / b + z * z / d; };
        double clean = 0;
        if (e(0.8, 0.7, 0.75) <= 1) clean = 80;
        if (e(0.6, 0.5, 0.55) <= 1) clean = 160;
        if (e(0.25, 0.2, 0.2) <= 1) clean = 255;
        const double re = clean + kSigma * gauss(), im = kSigma * gauss();
        v.noisy[i] = std::sqrt(re * re + im * im);
      }
  v.guide = v.noisy;
  v.source = "synthetic head (guide: the noisy volume)";
}

const Volume& TheVolume() {
  static Volume v = [] {
    Volume v;
    npy::Array noisy, guide;
    if (!volume_dir.empty() && Load(volume_dir + "/noisy.npy", noisy)) {
      v.rows = static_cast<int>(noisy.shape[0]);
      v.cols = static_cast<int>(noisy.shape[1]);
      v.slices = static_cast<int>(noisy.shape[2]);
      v.noisy = std::move(noisy.data);
      if (Load(volume_dir + "/quillon.npy", guide) && guide.data.size() == v.size()) {
        v.guide = std::move(guide.data);
        v.source = "noisy.npy (guide: quillon.npy)";
      } else {
        v.guide = v.noisy;
        v.source = "noisy.npy (guide: the noisy volume)";
      }
    } else {
      Synthetic(v);
    }
    std::fprintf(stderr, "volume %dx%dx%d: %s\n", v.rows, v.cols, v.slices, v.source);
    return v;
  }();
  return v;
}

// Time per item, printed as seconds per block or per pair.
void PerItem(benchmark::State& state, const char* name, double items_per_iteration) {
  state.counters[name] = benchmark::Counter(items_per_iteration,
                                            benchmark::Counter::kIsIterationInvariantRate |
                                                benchmark::Counter::kInvert);
}

// ---- quillon: the block transforms -------------------------------------

const quillon::Transforms kTransforms = quillon::MakeTransforms();

void BlockOf(double* block) {
  const Volume& v = TheVolume();
  const int r0 = v.rows / 2, c0 = v.cols / 2, s0 = v.slices / 2;
  for (int p = 0; p < 4; ++p)
    for (int j = 0; j < 4; ++j)
      for (int k = 0; k < 4; ++k)
        block[k + 4 * j + 16 * p] =
            v.noisy[(r0 + k) + static_cast<size_t>(c0 + j) * v.rows +
                    static_cast<size_t>(s0 + p) * v.rows * v.cols];
}

void BM_QuillonDct3(benchmark::State& state) {
  double block[64], out[64];
  BlockOf(block);
  for (auto _ : state) {
    quillon::dct3(kTransforms, block, out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  PerItem(state, "per_block", 1);
}
BENCHMARK(BM_QuillonDct3);

void BM_QuillonIdct3(benchmark::State& state) {
  double block[64], coefficients[64], out[64];
  BlockOf(block);
  quillon::dct3(kTransforms, block, coefficients);
  for (auto _ : state) {
    quillon::idct3(kTransforms, coefficients, out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  PerItem(state, "per_block", 1);
}
BENCHMARK(BM_QuillonIdct3);

// ---- quillon: one worker's slab of each pass ----------------------------

// Everything one slab of a pass needs: the first estimate of the whole
// volume (for the oracle pass), the bias table, the accumulators.
struct QuillonSlab {
  std::vector<double> estimate, sums, weights, spill_sums, spill_weights, bias;
  quillon::Context context{};
  quillon::DctThreadArgs args{};
  double blocks = 0;

  QuillonSlab() {
    const Volume& v = TheVolume();
    const size_t n = v.size();
    const size_t plane = static_cast<size_t>(v.rows) * v.cols;
    const int64_t len = quillon::BiasLength(quillon::LargestValue(v.noisy.data(), n));
    bias.resize(static_cast<size_t>(len));
    quillon::RicianBias(static_cast<int>(len), bias.data(), kSigma);
    sums.assign(n, 0.0);
    weights.assign(n, 0.0);
    spill_sums.assign(quillon::kSpillPlanes * plane, 0.0);
    spill_weights.assign(quillon::kSpillPlanes * plane, 0.0);
    estimate.assign(n, 0.0);
    context = quillon::Context{v.rows,        v.cols,       v.slices, v.noisy.data(),
                               estimate.data(), sums.data(), weights.data(), kSigma,
                               1,             kTransforms,  static_cast<int>(len),
                               platform::WidestIsa(), nullptr, nullptr, nullptr};
    // The middle worker's slab, as the driver splits the start slices.
    const quillon::Slab slab = quillon::SlabOf(quillon::kWorkers / 2, v.slices);
    args = quillon::DctThreadArgs{&context, slab.first_slice, slab.end_slice - 1, bias.data(),
                                  spill_sums.data(), spill_weights.data()};
    blocks = static_cast<double>(slab.end_slice - slab.first_slice) * (v.rows - 3) * (v.cols - 3);

    // A first estimate of the whole volume, as the first pass makes it.
    std::vector<double> w(n, 0.0), ss(spill_sums.size()), sw(spill_sums.size());
    quillon::Context first = context;
    first.weights = w.data();
    for (int k = 0; k < quillon::kWorkers; ++k) {
      const quillon::Slab s = quillon::SlabOf(k, v.slices);
      if (s.first_slice >= s.end_slice) continue;
      std::fill(ss.begin(), ss.end(), 0.0);
      std::fill(sw.begin(), sw.end(), 0.0);
      quillon::DctThreadArgs a{&first, s.first_slice, s.end_slice - 1, nullptr, ss.data(),
                               sw.data()};
      quillon::ThreadFunc(&a);
      const size_t base = static_cast<size_t>(s.end_slice) * plane;
      for (size_t i = 0; i < ss.size() && base + i < n; ++i) {
        estimate[base + i] += ss[i];
        w[base + i] += sw[i];
      }
    }
    for (size_t i = 0; i < n; ++i) estimate[i] /= w[i] == 0.0 ? 1.0 : w[i];
  }
};

QuillonSlab& TheQuillonSlab() {
  static QuillonSlab slab;
  return slab;
}

// Labels the run with the instruction set its argument names; the set, or
// kAuto with the run skipped where this processor lacks it.
platform::Isa IsaOfRun(benchmark::State& state) {
  const platform::Isa isa = platform::kIsas[state.range(0)];
  state.SetLabel(platform::IsaName(isa));
  if (platform::IsaRuns(isa)) return isa;
  state.SkipWithError("not supported by this processor");
  return platform::Isa::kAuto;
}

void BM_QuillonFirstPassSlab(benchmark::State& state) {
  const platform::Isa isa = IsaOfRun(state);
  if (isa == platform::Isa::kAuto) return;
  QuillonSlab& q = TheQuillonSlab();
  quillon::Context c = q.context;
  c.out_image = q.sums.data();
  c.isa = isa;
  quillon::DctThreadArgs a = q.args;
  a.context = &c;
  for (auto _ : state) quillon::ThreadFunc(&a);
  PerItem(state, "per_block", q.blocks);
}
BENCHMARK(BM_QuillonFirstPassSlab)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

void BM_QuillonOraclePassSlab(benchmark::State& state) {
  const platform::Isa isa = IsaOfRun(state);
  if (isa == platform::Isa::kAuto) return;
  QuillonSlab& q = TheQuillonSlab();
  quillon::Context c = q.context;
  c.isa = isa;
  quillon::DctThreadArgs a = q.args;
  a.context = &c;
  for (auto _ : state) quillon::ThreadFunc2(&a);
  PerItem(state, "per_block", q.blocks);
}
BENCHMARK(BM_QuillonOraclePassSlab)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// ---- tessary: pairs per second ------------------------------------------

constexpr int kRadius = 3;

struct TessarySlab {
  std::vector<double> mean, out, weights, spill_out, spill_weights;
  tessary::Context context{};
  tessary::NlmThreadArgs args{};
  double pairs = 0;

  TessarySlab() {
    const Volume& v = TheVolume();
    const size_t n = v.size();
    mean.resize(n);
    tessary::BuildLocalMean(v.guide.data(), mean.data(), v.rows, v.cols, v.slices);
    out.assign(n, 0.0);
    weights.assign(n, 0.0);
    const int workers = tessary::WorkerCount(v.slices);
    const tessary::Slab slab = tessary::SlabOf(workers / 2, workers, v.slices);
    const int spill_end = std::min(slab.end_slice + kRadius, v.slices);
    const size_t plane = static_cast<size_t>(v.rows) * v.cols;
    spill_out.assign(static_cast<size_t>(spill_end - slab.end_slice) * plane, -0.0);
    spill_weights.assign(spill_out.size(), -0.0);
    context = tessary::Context{v.cols, v.rows, v.slices, v.noisy.data(), out.data(), mean.data(),
                               v.guide.data(), weights.data(), kRadius, kSigma / 3.0, 1,
                               platform::WidestIsa(), nullptr, nullptr};
    args.context = &context;
    args.first_slice = slab.first_slice;
    args.end_slice = slab.end_slice;
    args.direction = tessary::Direction(workers / 2);
    args.spill_end_slice = spill_end;
    args.spill_out = spill_out.data();
    args.spill_weights = spill_weights.data();
    // Every pair the slab's centres weigh (centres of value 0 included; a
    // noisy magnitude volume has none).
    for (int ds = 0; ds <= kRadius; ++ds)
      for (int dc = -kRadius; dc <= kRadius; ++dc)
        for (int dr = -kRadius; dr <= kRadius; ++dr) {
          if (!(ds > 0 || dc > 0 || (dc == 0 && dr > 0))) continue;
          const int centres_s = std::max(0, std::min(slab.end_slice, v.slices - ds) - slab.first_slice);
          pairs += static_cast<double>(v.rows - std::abs(dr)) * (v.cols - std::abs(dc)) * centres_s;
        }
  }
};

TessarySlab& TheTessarySlab() {
  static TessarySlab slab;
  return slab;
}

void BM_TessaryPairs(benchmark::State& state) {
  const platform::Isa isa = IsaOfRun(state);
  if (isa == platform::Isa::kAuto) return;
  TessarySlab& t = TheTessarySlab();
  tessary::NlmThreadArgs a = t.args;
  const tessary::KernelFunction worker = tessary::SearchKernel(isa);
  for (auto _ : state) worker(&a);
  PerItem(state, "per_pair", t.pairs);
  state.counters["pairs"] = t.pairs;
}
BENCHMARK(BM_TessaryPairs)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// The whole tessary call on plain memory, threaded, scalar and widest
// kernel: what the kernels save at the level of a call.
void BM_TessaryDenoise(benchmark::State& state) {
  const platform::Isa isa = state.range(0) == 0 ? platform::Isa::kScalar : platform::WidestIsa();
  state.SetLabel(platform::IsaName(isa));
  const Volume& v = TheVolume();
  std::vector<double> out(v.size()), mean(v.size()), weights(v.size());
  const tessary::Request q{.rows = v.rows,
                           .cols = v.cols,
                           .slices = v.slices,
                           .noisy = v.noisy.data(),
                           .guide = v.guide.data(),
                           .denoised = out.data(),
                           .search_radius = kRadius,
                           .sigma = kSigma,
                           .rician = 1,
                           .chunk = {},
                           .local_mean = mean.data(),
                           .weights = weights.data(),
                           .options = {.isa = isa}};
  for (auto _ : state) {
    if (tessary::Denoise(q) != tessary::Status::kOk) state.SkipWithError("failed");
  }
}
BENCHMARK(BM_TessaryDenoise)
    ->DenseRange(0, 1)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The whole quillon call on plain memory, threaded, scalar and widest
// kernel, with its own scratch volumes: the in-call figure beside
// tessary's above.
void BM_QuillonDenoise(benchmark::State& state) {
  const platform::Isa isa = state.range(0) == 0 ? platform::Isa::kScalar : platform::WidestIsa();
  state.SetLabel(platform::IsaName(isa));
  const Volume& v = TheVolume();
  std::vector<double> out(v.size());
  const quillon::Request q{.rows = v.rows, .cols = v.cols, .slices = v.slices,
                           .noisy = v.noisy.data(), .denoised = out.data(), .sigma = kSigma,
                           .rician = 1, .chunk = {}, .options = {.isa = isa}};
  for (auto _ : state) {
    if (quillon::Denoise(q) != quillon::Status::kOk) state.SkipWithError("failed");
  }
}
BENCHMARK(BM_QuillonDenoise)
    ->DenseRange(0, 1)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The Rician table's share of a whole quillon call (sigma 3% of the largest
// value m, on the benchmark volume scaled to m), built on every thread the
// process may use. Past kLargestRicianValue the call is refused: the figure
// is then how soon, beside what the table alone would have cost.
void BM_QuillonRicianTableShare(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const double m = std::array<double, 4>{255.0, 4095.0, 65535.0, 1e7}[state.range(0)];
  const double sigma = 0.03 * m;
  const Volume& v = TheVolume();
  const double largest = quillon::LargestValue(v.noisy.data(), static_cast<int64_t>(v.size()));
  std::vector<double> scaled(v.noisy);
  for (double& x : scaled) x = x / largest * m;
  std::vector<double> out(v.size());
  const auto entries = static_cast<int>(std::ceil(2.0 * m));
  std::vector<double> table(static_cast<size_t>(entries));
  const quillon::Request q{.rows = v.rows, .cols = v.cols, .slices = v.slices,
                           .noisy = scaled.data(), .denoised = out.data(), .sigma = sigma,
                           .rician = 1, .chunk = {}, .options = {}};
  double table_s = 0.0, call_s = 0.0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    quillon::RicianBias(entries, table.data(), sigma, platform::AvailableThreads());
    const auto t1 = Clock::now();
    const quillon::Status status = quillon::Denoise(q);
    const auto t2 = Clock::now();
    if (status != quillon::Status::kOk && status != quillon::Status::kValueRange)
      state.SkipWithError("failed");
    table_s += std::chrono::duration<double>(t1 - t0).count();
    call_s += std::chrono::duration<double>(t2 - t1).count();
    state.SetLabel(status == quillon::Status::kOk ? "call" : "refused");
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["m"] = m;
  state.counters["table_s"] = table_s / runs;
  state.counters["call_s"] = call_s / runs;
  state.counters["table_share_%"] = 100.0 * table_s / call_s;
}
BENCHMARK(BM_QuillonRicianTableShare)
    ->DenseRange(0, 3)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--volume=", 9) == 0) {
      volume_dir = argv[i] + 9;
    } else {
      rest.push_back(argv[i]);
    }
  }
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  if (benchmark::ReportUnrecognizedArguments(n, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
