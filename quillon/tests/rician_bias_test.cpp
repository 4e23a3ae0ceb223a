#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "rician_bias.h"

namespace quillon {
namespace {

// The k-th running sum of 0.1, as the table's candidates are formed.
double RunningSum(int k) {
  double a = 0.0;
  for (int i = 0; i < k; ++i) a = a + 0.1;
  return a;
}

bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

std::vector<double> Table(int n, double sigma) {
  std::vector<double> t(static_cast<size_t>(n), -1.0);
  RicianBias(n, t.data(), sigma);
  return t;
}

TEST(QuillonBessel, SymmetryAndTheBranchAt375) {
  for (double x : {0.3, 1.0, 3.7, 3.75, 4.0, 12.0, 40.0}) {
    EXPECT_EQ(Bessel0(-x), Bessel0(x));
    EXPECT_EQ(Bessel1(-x), -Bessel1(x));
  }
  EXPECT_EQ(Bessel0(0.0), 1.0);
  EXPECT_EQ(Bessel1(0.0), 0.0);
  // At exactly 3.75 the large-argument branch applies.
  const double large0 = (0.39894228 + 0.01328592 + 0.00225319 - 0.00157565 + 0.00916281 -
                         0.02057706 + 0.02635537 - 0.01647633 + 0.00392377);
  EXPECT_NEAR(Bessel0(3.75), large0 * std::exp(3.75) / std::sqrt(3.75), 1e-12);
  // Both branches approximate the functions closely (I0(1) = 1.2660658..., I1(5) = 24.335642...).
  EXPECT_NEAR(Bessel0(1.0), 1.2660658777520082, 2e-7);
  EXPECT_NEAR(Bessel1(5.0), 24.335642142450524, 24.3 * 2e-7);
  EXPECT_TRUE(std::isnan(Bessel0(NAN)));
}

TEST(QuillonRicianBias, SigmaTenEntries) {
  const auto t = Table(20, 10.0);
  for (int i = 0; i <= 11; ++i) EXPECT_EQ(t[i], 0.0) << i;
  EXPECT_EQ(t[12], RunningSum(1));
  EXPECT_EQ(t[13], RunningSum(39));
  EXPECT_EQ(t[14], RunningSum(70));
  // Expected magnitude of a = 0 is sigma * sqrt(pi / 2).
  EXPECT_NEAR(ExpectedMagnitude(0.0, 10.0), 12.533141373155, 1e-9);
}

TEST(QuillonRicianBias, SigmaZeroUsesTheFallbackIndex) {
  const auto t = Table(5, 0.0);
  EXPECT_EQ(t[0], RunningSum(1));
  EXPECT_EQ(t[1], RunningSum(11));
  EXPECT_LT(RunningSum(10), 1.0);
  EXPECT_EQ(t[2], RunningSum(20));
  EXPECT_GT(t[2], 2.0);
  EXPECT_EQ(t[3], RunningSum(30));
  EXPECT_GT(t[3], 3.0);
}

TEST(QuillonRicianBias, NegativeSigmaEqualsItsMagnitude) {
  EXPECT_EQ(Table(80, -4.5), Table(80, 4.5));
}

TEST(QuillonRicianBias, CandidateRangeEndsBelowTheLength) {
  // With a tiny sigma every candidate lands on its own integer part, so
  // the last entry shows the last candidate that ran.
  const auto one = Table(1, 1e-3);
  EXPECT_EQ(one[0], RunningSum(1));
  const auto hundred = Table(100, 1e-3);
  int k = 0;
  while (std::trunc(RunningSum(k)) < 99) ++k;
  EXPECT_EQ(hundred[99], RunningSum(k));
  EXPECT_LT(RunningSum(1000), 100.0);  // 10N + 1 candidates: the last is just below N
  EXPECT_EQ(Table(0, 5.0).size(), 0u);
}

// The table as first written: every candidate evaluated in turn, the
// first one included, with the two Bessel functions computed apart. Where
// exp(-t/2) is subnormal, `split` shares the exponential between the two
// Bessel factors, as the table does; without it, the arithmetic as it was.
std::vector<double> OneByOne(int bias_len, double sigma, bool split = true) {
  std::vector<double> table(bias_len, 0.0);
  const double s2 = sigma * sigma;
  for (double a = 0.0; a < bias_len; a = a + 0.1) {
    const double t = (a * a) / s2;
    const double h = 0.5 * t;
    const double f = h * Bessel1(0.25 * t) + (1.0 + h) * Bessel0(0.25 * t);
    const double q = std::exp(-0.5 * t);
    const double g = std::exp(-0.25 * t) * f;
    const double e = split && q > 0.0 && q < 0x1p-1022
                         ? std::sqrt(((1.5707963267948966 * g) * g) * s2)
                         : std::sqrt((((1.5707963267948966 * q) * f) * f) * s2);
    int i = e < 2147483648.0 ? static_cast<int>(e) : 0;
    if (!(e < 2147483648.0) || i < 1) i = static_cast<int>(a);
    if (i < 0 || i >= bias_len || table[i] != 0.0) continue;
    table[i] = a;
  }
  return table;
}

TEST(QuillonRicianBias, SameTableAsOneCandidateAtATime) {
  // Small and large sigmas against the length: candidates past the overflow
  // of the Bessel terms, tables of several blocks of candidates, tables that
  // take threads, sigma 0, not a number and infinite.
  const struct { int len; double sigma; } cases[] = {
      {510, 7.65},   {510, 0.5},      {2000, 30.0},   {131070, 1966.0}, {60000, 40000.0},
      {300, 0.0},    {300, NAN},      {300, INFINITY}, {4000, 1e-300},  {70000, 200.0}};
  for (const auto& c : cases) {
    const std::vector<double> reference = OneByOne(c.len, c.sigma);
    for (int threads : {1, 2, 3}) {
      std::vector<double> t(c.len, -1.0);
      RicianBias(c.len, t.data(), c.sigma, threads);
      ASSERT_TRUE(SameBits(t, reference)) << c.len << " " << c.sigma << " on " << threads << " threads";
    }
  }
  // Where no candidate reaches a subnormal exp(-t/2) (the table ends below
  // a/sigma = 37.6, or sigma is 0, not a number or infinite), the table
  // keeps the bits of the arithmetic as first written.
  const struct { int len; double sigma; } unchanged[] = {
      {300, 10.0}, {2200, 60.0}, {18, 0.5}, {300, 0.0}, {300, NAN}, {300, INFINITY}, {4000, 1e-300}};
  for (const auto& c : unchanged)
    EXPECT_TRUE(SameBits(Table(c.len, c.sigma), OneByOne(c.len, c.sigma, false))) << c.len << " " << c.sigma;
}

// The mean of the non-central chi law with 2n degrees of freedom (sigma 1)
// by Simpson's rule over its density, r^n / a^(n-1) exp(-(r^2+a^2)/2)
// I_(n-1)(a r), independent of the mixture and series the table uses.
double IntegratedChiMean(double a, int n) {
  const int steps = 20000;
  const double top = a + std::sqrt(2.0 * n) + 14.0, h = top / steps;
  auto f = [&](double r) {
    if (r == 0.0) return 0.0;
    const double log_p = n * std::log(r) - (n - 1) * std::log(a) - 0.5 * (r * r + a * a) +
                         std::log(std::cyl_bessel_i(n - 1.0, a * r));
    return r * std::exp(log_p);
  };
  double sum = f(0.0) + f(top);
  for (int k = 1; k < steps; ++k) sum += (k % 2 ? 4.0 : 2.0) * f(k * h);
  return sum * h / 3.0;
}

TEST(QuillonRicianBias, SeveralCoilsMapThroughTheNoncentralChiMean) {
  // Both the Poisson mixture (small a/sigma) and the asymptotic series
  // (from a^2/(2 sigma^2) = 50 + n^2 on) against direct integration.
  for (int n : {1, 2, 4, 8, 16})
    for (double theta : {0.05, 0.7, 2.0, 5.0, 9.0, 12.0, 16.0, 24.0}) {
      const double expected = IntegratedChiMean(theta, n);
      EXPECT_NEAR(ExpectedChiMagnitude(theta, 1.0, n), expected, 1e-9 * expected)
          << n << " coils, a/sigma " << theta;
      EXPECT_NEAR(ExpectedChiMagnitude(theta * 12.5, 12.5, n), 12.5 * expected, 2e-8 * expected);
    }
  // No signal: sigma sqrt(2) G(n + 1/2) / G(n), 3.9 sigma for eight coils.
  EXPECT_NEAR(ExpectedChiMagnitude(0.0, 1.0, 8), 3.9380256218873, 1e-9);
  EXPECT_NEAR(ExpectedChiMagnitude(0.0, 2.0, 1), ExpectedMagnitude(0.0, 2.0), 1e-12);

  // One coil is today's table, to the bit; several coils give another,
  // the same for any thread count, with each entry the first candidate
  // whose chi mean truncates to it.
  EXPECT_TRUE(SameBits(Table(2000, 30.0), [] {
    std::vector<double> t(2000, -1.0);
    RicianBias(2000, t.data(), 30.0, 2, nullptr, 1);
    return t;
  }()));
  for (double sigma : {7.65, 300.0, 0.0}) {
    std::vector<double> one(40000, -1.0), two(40000, -1.0);
    RicianBias(40000, one.data(), sigma, 1, nullptr, 4);
    RicianBias(40000, two.data(), sigma, 2, nullptr, 4);
    ASSERT_TRUE(SameBits(one, two)) << sigma;
    ASSERT_FALSE(SameBits(one, Table(40000, sigma)) && sigma > 0.0);
    for (int i = 1; i < 40000; i += 997) {
      if (one[i] != 0.0 && sigma > 0.0) {
        EXPECT_EQ(static_cast<int>(ExpectedChiMagnitude(one[i], sigma, 4)), i) << sigma;
      }
    }
  }
}

TEST(QuillonRicianBias, EntriesWhereTheExponentialIsSubnormal) {
  // Candidates with a/sigma from about 37.6 to 38.6 have exp(-t/2) below
  // the smallest normal double. From there on E(a) = a + sigma^2 / (2a) to
  // far better than one entry, so every entry from the band up must hold a
  // value whose magnitude lands within one entry of it: none empty, none
  // taken by a value far below. The arithmetic as first written put band
  // candidates up to 60% too high, into entries up to 62 sigma.
  int checked = 0;
  for (double sigma = 0.3; sigma <= 60.0; sigma *= 1.0173) {
    const int len = static_cast<int>(66.0 * sigma) + 4;
    const auto table = Table(len, sigma);
    for (int i = static_cast<int>(std::ceil(37.7 * sigma)); i < 65.0 * sigma; ++i) {
      const double a = table[i];
      ASSERT_GT(a, 0.0) << "entry " << i << " empty at sigma " << sigma;
      ASSERT_NEAR(a + sigma * sigma / (2.0 * a), i + 0.5, 1.5)
          << "entry " << i << " at sigma " << sigma;
      ++checked;
    }
  }
  EXPECT_GT(checked, 20000);
}

TEST(QuillonRicianBias, LengthOfTheTable) {
  EXPECT_EQ(BiasLength(2.3), 5);
  EXPECT_EQ(BiasLength(3.0), 6);
  EXPECT_EQ(BiasLength(0.0), 0);
  EXPECT_EQ(BiasLength(kLargestRicianValue), 2 * kLargestRicianValue);
  EXPECT_EQ(BiasLength(std::nextafter(kLargestRicianValue, INFINITY)), -1);
  EXPECT_EQ(BiasLength(INFINITY), -1);
  const double v[] = {-5.0, NAN, 2.5, -1.0};
  EXPECT_EQ(LargestValue(v, 4), 2.5);
  EXPECT_EQ(LargestValue(v, 2), 0.0);
  const double infinite[] = {3.0, INFINITY, 1.0};
  EXPECT_EQ(LargestValue(infinite, 3), 3.0);  // passed through, never read
}

}  // namespace
}  // namespace quillon
