// Koay and Basser's factor against values computed independently (SciPy's
// exponentially scaled Bessel functions), across both polynomial branches and
// the asymptotic tail.
#include <cmath>
#include <numbers>

#include <gtest/gtest.h>

#include "rician_variance.h"

namespace noise_sigma {
namespace {

TEST(RicianVarianceFactor, MatchesReferenceValuesAndRisesSmoothlyToOne) {
  const struct {
    double theta, xi;
  } reference[] = {{0.0, 2.0 - std::numbers::pi / 2.0}, {1.0, 0.6019233344225703},
                   {2.0, 0.8362735558385515},         {3.0, 0.9347533522965286},
                   {5.0, 0.9790885330516801},         {10.0, 0.9949485566709626},
                   {20.0, 0.99874685326242923},        {40.0, 0.99968730435082988}};
  for (const auto& r : reference) EXPECT_NEAR(RicianVarianceFactor(r.theta), r.xi, 3e-6) << r.theta;

  // No step where the formula changes: at theta^2/4 = 3.75 and at theta = 10.
  for (double edge : {std::sqrt(15.0), 10.0}) {
    EXPECT_NEAR(RicianVarianceFactor(std::nextafter(edge, 0.0)), RicianVarianceFactor(edge), 3e-6)
        << edge;
  }
  double previous = RicianVarianceFactor(0.0);
  for (double theta = 0.05; theta < 60.0; theta += 0.05) {
    const double xi = RicianVarianceFactor(theta);
    EXPECT_GE(xi, previous - 1e-9) << theta;
    EXPECT_LT(xi, 1.0) << theta;
    previous = xi;
  }
}

TEST(ChiVarianceFactor, IsTheRicianOneForOneCoilAndTheCentralChiVarianceAtZero) {
  for (double theta = 0.0; theta < 30.0; theta += 0.25)
    EXPECT_NEAR(ChiVarianceFactor(theta, 1), RicianVarianceFactor(theta), 3e-6) << theta;
  // 2N - (sqrt(2) G(N + 1/2) / G(N))^2, and 1 far above the noise.
  EXPECT_NEAR(ChiVarianceFactor(0.0, 4), 0.4834941393603609, 1e-12);
  EXPECT_NEAR(ChiVarianceFactor(0.0, 8), 0.49195420135893464, 1e-12);
  for (int coils : {2, 8, 64}) EXPECT_NEAR(ChiVarianceFactor(1000.0, coils), 1.0, 1e-3) << coils;
}

}  // namespace
}  // namespace noise_sigma
