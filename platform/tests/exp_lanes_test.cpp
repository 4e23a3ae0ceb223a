// The exponential on lanes must give the bits of the library's scalar
// builds, fused and unfused, on every instruction set this processor runs,
// over the whole range the kernels use it for, [-10, 0).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "exp.h"
#include "isa.h"

bool ExpLanesSse2(const double* x, int n, bool fused, double* out);
bool ExpLanesAvx2(const double* x, int n, bool fused, double* out);
bool ExpLanesAvx512(const double* x, int n, bool fused, double* out);

namespace {

uint64_t Bits(double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

TEST(ExpLanes, BothBuildsBitForBitOnEverySet) {
  std::vector<double> x;
  // A dense sweep, the ends, both sides of every table step near them, and
  // random arguments.
  for (int i = 1; i <= 1 << 20; ++i) x.push_back(-10.0 * i / (1 << 20));
  const double step = 0.6931471805599453 / 128;
  for (double edge : {-10.0, -0x1p-53, -0x1p-30, -step / 2, -step * 1846.5, -9.999999999999998})
    for (double e = edge, n = 0; n < 8; ++n, e = std::nextafter(e, 0.0)) x.push_back(e);
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> any(-10.0, 0.0);
  for (int i = 0; i < 1 << 16; ++i) x.push_back(any(rng));
  while (x.size() % 8 != 0) x.push_back(-1.0);
  const int n = static_cast<int>(x.size());

  struct Set {
    platform::Isa isa;
    bool (*run)(const double*, int, bool, double*);
  };
  int checked = 0;
  for (const Set& s : {Set{platform::Isa::kSse2, ExpLanesSse2}, Set{platform::Isa::kAvx2, ExpLanesAvx2},
                       Set{platform::Isa::kAvx512, ExpLanesAvx512}}) {
    if (!platform::IsaRuns(s.isa)) continue;
    for (bool fused : {false, true}) {
      if (fused && !platform::HasFusedMulAdd()) continue;
      std::vector<double> out(x.size());
      if (!s.run(x.data(), n, fused, out.data())) continue;  // no fused build on these lanes
      ++checked;
      for (int i = 0; i < n; ++i) {
        const double want = fused ? platform::ExpFused(x[i]) : platform::ExpUnfused(x[i]);
        if (Bits(out[i]) != Bits(want)) {
          ADD_FAILURE() << platform::IsaName(s.isa) << (fused ? " fused" : " unfused") << " exp("
                        << std::hexfloat << x[i] << ") = " << out[i] << ", not " << want;
          break;
        }
      }
    }
  }
  EXPECT_GE(checked, 1);
}

}  // namespace
