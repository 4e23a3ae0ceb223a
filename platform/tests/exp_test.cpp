// The exponential must carry the Linux C library's bits everywhere: on
// Linux it is checked against that library itself, and on every platform
// against results recorded from it, for both of its builds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "exp.h"

namespace {

uint64_t Bits(double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

// x, exp(x) from the library's fused build, exp(x) from its unfused build:
// inputs whose two results differ in the last bit (the unfused ones come
// from the same library with FMA and AVX2 masked off).
struct Recorded {
  double x, fused, unfused;
};
constexpr Recorded kRecorded[] = {
    {0x1.20ce28fc5fe2ap+9, 0x1.3eaf406f08aa9p+833, 0x1.3eaf406f08aaap+833},
    {-0x1.97c7b9b8936a9p+4, 0x1.2c7967bba1f9fp-37, 0x1.2c7967bba1f9ep-37},
    {0x1.025ff67252fd7p+9, 0x1.6d1faf1ad2f01p+745, 0x1.6d1faf1ad2fp+745},
    {0x1.fd7e4add0cf52p+8, 0x1.07d6244600dc5p+735, 0x1.07d6244600dc4p+735},
    {-0x1.c9d6c155da0ap+1, 0x1.ca261da8ae207p-6, 0x1.ca261da8ae206p-6},
    {-0x1.cd24c742c1484p+4, 0x1.565da918cba5fp-42, 0x1.565da918cba5ep-42},
    {0x1.1adb60444f264p+9, 0x1.1c9009cab6aa7p+816, 0x1.1c9009cab6aa8p+816},
};

TEST(LinuxExp, RecordedResultsOfBothBuilds) {
  for (const Recorded& r : kRecorded) {
    EXPECT_EQ(Bits(platform::ExpUnfused(r.x)), Bits(r.unfused)) << std::hexfloat << r.x;
    if (platform::ExpUsesFused()) {
      EXPECT_EQ(Bits(platform::ExpFused(r.x)), Bits(r.fused)) << std::hexfloat << r.x;
    }
    EXPECT_EQ(Bits(platform::Exp(r.x)), Bits(platform::ExpUsesFused() ? r.fused : r.unfused));
  }
}

TEST(LinuxExp, EdgesOfTheRange) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(Bits(platform::Exp(0.0)), Bits(1.0));
  EXPECT_EQ(Bits(platform::Exp(-0.0)), Bits(1.0));
  EXPECT_EQ(Bits(platform::Exp(-inf)), Bits(0.0));
  EXPECT_EQ(platform::Exp(inf), inf);
  EXPECT_TRUE(std::isnan(platform::Exp(std::nan(""))));
  EXPECT_EQ(platform::Exp(709.79), inf);  // overflow
  EXPECT_EQ(Bits(platform::Exp(-745.2)), Bits(0.0));  // underflow, never -0.0
  EXPECT_EQ(Bits(platform::Exp(-1e4)), Bits(0.0));
  EXPECT_EQ(platform::Exp(-745.1), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(Bits(platform::Exp(0x1p-60)), Bits(1.0));
}

// The program's own exp: the C library's on Linux, ours on Windows, where
// the build puts it in the C runtime's place.
TEST(LinuxExp, TheProgramsExpIsTheLinuxOne) {
#if !defined(__GLIBC__) && !defined(_WIN32)
  GTEST_SKIP() << "this platform's exp is its own";
#endif
  std::mt19937_64 random(5);
  std::uniform_real_distribution<double> weights(-40.0, 0.0);  // tessary's range
  std::uniform_real_distribution<double> wide(-760.0, 720.0);
  int mismatches = 0;
  for (int i = 0; i < 200000; ++i) {
    for (double x : {weights(random), wide(random)}) {
      if (Bits(std::exp(x)) != Bits(platform::Exp(x)) && ++mismatches <= 5) {
        ADD_FAILURE() << std::hexfloat << "exp(" << x << ") = " << std::exp(x) << ", ours "
                      << platform::Exp(x);
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
