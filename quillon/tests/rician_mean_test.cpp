#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "rician_bias.h"
#include "rician_mean.h"

namespace quillon {
namespace {

std::vector<double> Corrected(const std::vector<double>& in, double sigma, int threads = 0) {
  std::vector<double> out(in.size(), -7.0);
  platform::CallOptions options;
  options.threads = threads;
  EXPECT_EQ(CorrectRicianMean(in.data(), out.data(), static_cast<int64_t>(in.size()), sigma,
                              options),
            platform::Status::kOk);
  return out;
}

// The map inverts the expected magnitude, below the table's end and past it.
TEST(QuillonRicianMean, InvertsTheExpectedMagnitude) {
  const double sigma = 12.5;
  std::vector<double> truth, expected;
  for (double a = 0.05 * sigma; a < 30.0 * sigma; a = a * 1.01 + 0.01) {
    truth.push_back(a);
    expected.push_back(ExpectedMagnitude(a, sigma));
  }
  const auto out = Corrected(expected, sigma);
  for (size_t i = 0; i < truth.size(); ++i) {
    // Near no signal the curve is flat and the inverse steep.
    const double tolerance = truth[i] < 0.5 * sigma ? 2e-3 * sigma : 1e-5 * sigma;
    EXPECT_NEAR(out[i], truth[i], tolerance) << truth[i];
  }
  // Rician samples of one true value, averaged, come back to it.
  std::mt19937_64 rng(7);
  std::normal_distribution<double> noise(0.0, sigma);
  for (double a : {0.0, 1.0 * sigma, 3.0 * sigma, 20.0 * sigma}) {
    double sum = 0.0;
    const int n = 400000;
    for (int k = 0; k < n; ++k) sum += std::hypot(a + noise(rng), noise(rng));
    EXPECT_NEAR(Corrected({sum / n}, sigma)[0], a, 0.02 * sigma + (a == 0.0 ? 0.2 * sigma : 0.0));
  }
}

TEST(QuillonRicianMean, EdgesThreadsAndRefusals) {
  const double sigma = 2.0;
  const double floor = sigma * std::sqrt(std::acos(-1.0) / 2.0);  // no signal's magnitude
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> in = {-5.0, 0.0, floor, floor * 0.999, -inf, inf, NAN};
  const auto out = Corrected(in, sigma);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], 0.0) << i;
  EXPECT_EQ(out[4], -inf);
  EXPECT_EQ(out[5], inf);
  EXPECT_TRUE(std::isnan(out[6]));
  // sigma 0: nothing to remove but negatives.
  const auto plain = Corrected({-1.0, 0.5, 3.0, NAN}, 0.0);
  EXPECT_EQ(plain[0], 0.0);
  EXPECT_EQ(plain[1], 0.5);
  EXPECT_EQ(plain[2], 3.0);
  EXPECT_TRUE(std::isnan(plain[3]));

  // A volume large enough to be split among threads: the same bits on one
  // thread, on several, and in place.
  std::vector<double> big(3 << 20);
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> value(-1.0, 60.0);
  for (double& x : big) x = value(rng);
  const auto one = Corrected(big, sigma, 1);
  const auto many = Corrected(big, sigma, 4);
  EXPECT_EQ(std::memcmp(one.data(), many.data(), one.size() * sizeof(double)), 0);
  std::vector<double> same = big;
  EXPECT_EQ(CorrectRicianMean(same.data(), same.data(), static_cast<int64_t>(same.size()), sigma,
                              {}),
            platform::Status::kOk);
  EXPECT_EQ(std::memcmp(one.data(), same.data(), one.size() * sizeof(double)), 0);

  double x = 1.0;
  EXPECT_EQ(CorrectRicianMean(&x, &x, -1, sigma, {}), platform::Status::kInvalidRequest);
  EXPECT_EQ(CorrectRicianMean(nullptr, &x, 1, sigma, {}), platform::Status::kInvalidRequest);
  EXPECT_EQ(CorrectRicianMean(&x, &x, 1, -1.0, {}), platform::Status::kInvalidRequest);
  EXPECT_EQ(CorrectRicianMean(&x, &x, 1, NAN, {}), platform::Status::kInvalidRequest);
  EXPECT_EQ(CorrectRicianMean(nullptr, nullptr, 0, sigma, {}), platform::Status::kOk);
}

}  // namespace
}  // namespace quillon
