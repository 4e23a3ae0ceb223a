// What the typed suites of the two filters share: one traits struct per
// filter that makes its test volumes and runs its core, so that a behaviour
// both filters promise is tested once, for each of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common.h"
#include "quillon_support.h"
#include "tessary_support.h"

namespace filtertest {

// One call's data: the noisy volume and, for tessary, its guide.
struct Input {
  int rows = 0, cols = 0, slices = 0;
  std::vector<double> noisy, guide;
  std::size_t size() const { return noisy.size(); }
  std::size_t At(int r, int c, int s) const {
    return r + static_cast<std::size_t>(c) * rows + static_cast<std::size_t>(s) * rows * cols;
  }
};

// What a call may set besides its volume, sigma and flag.
struct Extras {
  platform::Schedule schedule = platform::Schedule::kThreads;
  platform::CallOptions options{};
  const unsigned char* mask = nullptr;
  platform::Chunk chunk{};
  double table_largest = -1.0;  // quillon: sizes the Rician table
  int radius = 2;               // tessary: the search radius
};

// What every core's request takes alike from an input and the extras.
template <class Request>
void Fill(Request& q, const Input& in, double sigma, const Extras& x) {
  q.rows = in.rows;
  q.cols = in.cols;
  q.slices = in.slices;
  q.noisy = in.noisy.data();
  q.sigma = sigma;
  q.mask = x.mask;
  q.chunk = x.chunk;
  q.options = x.options;
}

// A voxel that a call fails to write shows this value.
inline constexpr double kUnwritten = -7.0;

// A call's status and outputs: quillon's result and first estimate,
// tessary's result.
struct Outcome {
  platform::Status status = platform::Status::kOk;
  std::vector<std::vector<double>> out;
};

struct Quillon {
  static constexpr const char* kName = "quillon";
  static constexpr int kPasses = 2;         // worker passes a call runs
  static constexpr double kSigma = 8.0;     // the noise of Make's volumes
  static std::vector<int> Radii() { return {0}; }
  // How far from a voxel the values its result reads lie: the blocks over
  // it, and the first estimates those blocks read.
  static int Reach(int) { return 6; }

  static Input Make(int rows, int cols, int slices, uint64_t seed, double offset = 0.0) {
    const quillon::fixtures::Volume v =
        quillon::fixtures::NoisyPhantom(rows, cols, slices, kSigma, seed, offset);
    return Input{rows, cols, slices, v.v, {}};
  }

  static Outcome Run(const Input& in, double sigma, int flag, const Extras& x = {}) {
    Outcome o{platform::Status::kOk, {std::vector<double>(in.size(), kUnwritten),
                                      std::vector<double>(in.size(), kUnwritten)}};
    quillon::Request q;
    Fill(q, in, sigma, x);
    q.denoised = o.out[0].data();
    q.first_estimate = o.out[1].data();
    q.rician = flag;
    q.table_largest = x.table_largest;
    o.status = quillon::Denoise(q, x.schedule);
    return o;
  }
};

struct Tessary {
  static constexpr const char* kName = "tessary";
  static constexpr int kPasses = 1;
  static constexpr double kSigma = 15.0;
  static std::vector<int> Radii() { return {1, 3}; }
  // The search window, and the local means' face neighbours.
  static int Reach(int radius) { return radius + 1; }

  static Input Make(int rows, int cols, int slices, uint64_t seed, double offset = 0.0) {
    tessary::testing::Volume v =
        tessary::testing::MakeVolume(rows, cols, slices, static_cast<uint32_t>(seed));
    for (double& x : v.in) x += offset;
    for (double& x : v.guide) x += offset;
    return Input{rows, cols, slices, v.in, v.guide};
  }

  // Any non-zero flag declares Rician noise, as the core's byte does.
  static Outcome Run(const Input& in, double sigma, int flag, const Extras& x = {}) {
    Outcome o{platform::Status::kOk, {std::vector<double>(in.size(), kUnwritten)}};
    tessary::Request q;
    Fill(q, in, sigma, x);
    q.guide = in.guide.data();
    q.denoised = o.out[0].data();
    q.search_radius = x.radius;
    q.rician = flag != 0 ? 1 : 0;
    o.status = tessary::Denoise(q, x.schedule);
    return o;
  }
};

}  // namespace filtertest
