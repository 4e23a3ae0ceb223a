#include "rician_mean.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "rician_bias.h"
#include "threads.h"

namespace quillon {
namespace {

constexpr int kStepsPerSigma = 256;
constexpr int kSigmas = 12;

// The expected magnitudes of the true values k * sigma / kStepsPerSigma,
// k = 0 .. kSteps, never falling (the Bessel approximations may wobble in
// their last bits, and the search needs an order).
class ExpectedTable {
 public:
  static constexpr int kSteps = kStepsPerSigma * kSigmas;

  explicit ExpectedTable(double sigma) : step_(sigma / kStepsPerSigma), sigma_(sigma) {
    expected_.resize(kSteps + 1);
    double highest = 0.0;
    for (int k = 0; k <= kSteps; ++k) {
      highest = std::max(highest, ExpectedMagnitude(k * step_, sigma));
      expected_[k] = highest;
    }
  }

  double TrueValue(double x) const {
    if (!std::isfinite(x)) return x;
    if (!(x > expected_.front())) return 0.0;
    if (x >= expected_.back()) {
      // The expected magnitude's expansion a + s^2/(2a) + s^4/(8a^3),
      // inverted to the same order.
      const double s2 = sigma_ * sigma_;
      return std::sqrt((x - sigma_) * (x + sigma_)) - (s2 * s2) / (4.0 * x * x * x);
    }
    // The first entry above x; the one before it is at or below x.
    const auto above = std::upper_bound(expected_.begin(), expected_.end(), x);
    const int k = static_cast<int>(above - expected_.begin()) - 1;
    const double low = expected_[k];
    return (k + (x - low) / (*above - low)) * step_;
  }

 private:
  std::vector<double> expected_;
  double step_;
  double sigma_;
};

}  // namespace

platform::Status CorrectRicianMean(const double* in, double* out, int64_t count, double sigma,
                                   const platform::CallOptions& options) noexcept {
  if (count < 0 || (count > 0 && (in == nullptr || out == nullptr)) ||
      !(std::isfinite(sigma) && sigma >= 0.0))
    return platform::Status::kInvalidRequest;
  if (count == 0) return platform::Status::kOk;
  const int threads = platform::ThreadsFor(options);
  if (sigma == 0.0) {
    platform::ForEachElement(count, threads, platform::Schedule::kThreads, [in, out](int64_t i) {
      out[i] = std::isfinite(in[i]) && in[i] < 0.0 ? 0.0 : in[i];
    });
    return platform::Status::kOk;
  }
  try {
    const ExpectedTable table(sigma);
    platform::ForEachElement(count, threads, platform::Schedule::kThreads,
                             [&table, in, out](int64_t i) { out[i] = table.TrueValue(in[i]); });
  } catch (const std::bad_alloc&) {
    return platform::Status::kOutOfMemory;
  }
  return platform::Status::kOk;
}

}  // namespace quillon
