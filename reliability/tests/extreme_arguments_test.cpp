// Arguments at the edges of their range that a user can type: they finish
// quickly and mean what their smaller equivalents mean.
#include <gtest/gtest.h>

#include "gateway_calls.h"

extern "C" void quillon_mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
extern "C" void tessary_mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

namespace reliability {
namespace {

using namespace gatewaytest;

// A search radius past every extent reaches the whole volume, up to the
// largest radius the gateway accepts; the loops must not walk (or overflow
// on) the offsets beyond the volume.
TEST(ExtremeArguments, TessaryRadiusUpToTheIntLimitIsTheWholeVolume) {
  const std::vector<double> v = Phantom(7, 6, 5, 80.0, 21);
  auto denoise = [&](double radius) {
    Args a;
    a.Volume({7, 6, 5}, v).Scalar(radius).Scalar(1).Scalar(30).Volume({7, 6, 5}, v).Scalar(1);
    Result r = CallGateway(&tessary_mexFunction, 1, a);
    EXPECT_TRUE(r.call.ok) << "radius " << radius << ": " << r.call.id;
    return r;
  };
  const Result whole = denoise(6);
  for (double radius : {7.0, 1000.0, 2147483646.0, 2147483647.0})
    EXPECT_TRUE(SameBits(denoise(radius).out, whole.out)) << "radius " << radius;
}

// quillon denoises every volume of an array of more dimensions. With a zero
// extent past the third the array holds nothing: the result is empty too
// (the first three extents alone once made it read and write a volume that
// was not there).
TEST(ExtremeArguments, QuillonZeroExtentPastTheThirdIsAnEmptyResult) {
  for (const std::vector<int>& dims : {std::vector<int>{7, 7, 7, 0}, std::vector<int>{7, 7, 7, 2, 0}}) {
    for (double flag : {0.0, 1.0}) {
      Args a;
      a.Add(standin::CreateDouble(dims)).Scalar(10).Scalar(flag);
      const Result r = CallGateway(&quillon_mexFunction, 2, a);
      ASSERT_TRUE(r.call.ok) << r.call.id << ": " << r.call.message;
      ASSERT_EQ(r.dims.size(), 2u);
      EXPECT_EQ(r.dims[0], dims);
      EXPECT_EQ(r.dims[1], dims);
      EXPECT_TRUE(r.out[0].empty());
      EXPECT_EQ(r.call.arrays_left, 0u);  // no scratch volumes for nothing
    }
  }
}

}  // namespace
}  // namespace reliability
