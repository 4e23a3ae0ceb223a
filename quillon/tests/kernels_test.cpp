// The vector kernels against the plain scalar workers, bit for bit.
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "quillon_support.h"

namespace quillon {
namespace {

using fixtures::Volume;

fixtures::Denoised Denoised(Volume& in, double sigma, int flag, platform::Isa isa) {
  return fixtures::RunDenoise(in, sigma, flag, platform::Schedule::kThreads, {.isa = isa});
}

// Equal bits where a NaN matches any NaN (see testbits).
bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
  const long i = testbits::FirstDifferenceOrNan(a, b);
  if (i >= 0) ADD_FAILURE() << "voxel " << i << ": " << a[i] << " vs " << b[i];
  return i < 0;
}

// Returns how many vector sets it compared: a test that compared none
// tested nothing, and fails (Compared).
int ExpectAllKernelsMatchScalar(Volume& in, double sigma, int flag) {
  const fixtures::Denoised scalar = Denoised(in, sigma, flag, platform::Isa::kScalar);
  int compared = 0;
  for (platform::Isa isa : platform::kIsas) {
    if (isa == platform::Isa::kScalar || !platform::IsaRuns(isa)) continue;
    ++compared;
    const fixtures::Denoised vector = Denoised(in, sigma, flag, isa);
    EXPECT_TRUE(SameBits(vector.first_estimate, scalar.first_estimate))
        << platform::IsaName(isa) << " sigma " << sigma << " flag " << flag << " rows " << in.rows;
    EXPECT_TRUE(SameBits(vector.final_estimate, scalar.final_estimate))
        << platform::IsaName(isa) << " sigma " << sigma << " flag " << flag << " rows " << in.rows;
  }
  return compared;
}

// Row counts around every vector width, so that groups and the scalar tail
// of a row both run.
TEST(QuillonKernels, MatchTheScalarWorkersOnNoisyVolumes) {
  int compared = 0;
  for (int rows : {4, 5, 7, 11, 12, 13, 19, 21, 37}) {
    Volume in = fixtures::NoisyPhantom(rows, 9, 10, 9.0, 100 + rows, -50.0);
    for (int flag : {1, 0, -1}) compared += ExpectAllKernelsMatchScalar(in, 9.0, flag);
  }
  EXPECT_GE(compared, 1);
}

TEST(QuillonKernels, MatchTheScalarWorkersOnUnusualValues) {
  int compared = 0;
  std::mt19937_64 rng(17);
  Volume in = fixtures::NoisyPhantom(29, 11, 9, 20.0, 3, -60.0);
  std::uniform_int_distribution<size_t> at(0, in.v.size() - 1);
  for (int i = 0; i < 6; ++i) in.v[at(rng)] = NAN;
  for (int i = 0; i < 3; ++i) in.v[at(rng)] = -INFINITY;
  for (int c = 0; c < 5; ++c)  // a region with nothing positive
    for (int r = 0; r < 29; ++r) in.at(r, c, 2) = r % 3 == 0 ? 0.0 : -1.0;
  for (double sigma : {20.0, 0.0, -3.0, double(NAN), 1e-9, 5e8})
    for (int flag : {1, 0}) compared += ExpectAllKernelsMatchScalar(in, sigma, flag);

  // Deep negative spikes ring into reconstructed values past the bias
  // table's end, which the correction must leave as they are.
  Volume spiky = fixtures::NoisyPhantom(29, 11, 9, 2.0, 5, -95.0);
  for (int i = 0; i < 30; ++i) spiky.v[at(rng)] = -4000.0;
  for (double sigma : {20.0, 60.0, 200.0})
    compared += ExpectAllKernelsMatchScalar(spiky, sigma, 1);

  // Coefficients beyond 2^31 and infinities: only without Rician noise, since
  // the bias table cannot be sized for such values.
  for (int i = 0; i < 3; ++i) in.v[at(rng)] = INFINITY;
  for (int i = 0; i < 4; ++i) in.v[at(rng)] = 3e9;
  // Integer parts past 2^52, and halves on both sides of 2^31, where the
  // lanes' truncation must round as the scalar one does.
  for (int i = 0; i < 4; ++i) in.v[at(rng)] = 3e16;
  for (int i = 0; i < 4; ++i) in.v[at(rng)] = 2147483647.5;
  for (int i = 0; i < 4; ++i) in.v[at(rng)] = 2147483648.5;
  for (double sigma : {20.0, 5e8, 1e15}) compared += ExpectAllKernelsMatchScalar(in, sigma, -1);
  EXPECT_GE(compared, 1);
}

TEST(QuillonKernels, MatchTheScalarWorkersOnPlateaus) {
  // Constant and stepped regions keep coefficients near the integer edges.
  int compared = 0;
  Volume in(24, 10, 8, 0.0);
  for (int s = 0; s < 8; ++s)
    for (int c = 0; c < 10; ++c)
      for (int r = 0; r < 24; ++r) in.at(r, c, s) = (r / 6 + c / 4) % 2 ? 3.0 : 0.375;
  for (double sigma : {1.0, 2.5, 3.0, 10.0})
    compared += ExpectAllKernelsMatchScalar(in, sigma, 1);
  EXPECT_GE(compared, 1);
}

}  // namespace
}  // namespace quillon
