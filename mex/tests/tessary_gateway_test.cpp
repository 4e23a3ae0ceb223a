// The gateway through the stand-in host: results, the argument contract,
// and the failure of a worker start, each without leaking anything.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "mex_host.h"
#include "gateway_calls.h"
#include "tessary_support.h"
#include "standin_host.h"
#include "threads.h"

namespace tessary {
namespace {

using testing::Volume;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The six inputs of a call, owned by the test; any of them can be replaced.
struct Inputs : gatewaytest::Args {
  Inputs(const testing::Volume& v, double radius, double sigma, double flag) {
    const std::vector<int> dims = {v.rows, v.cols, v.slices};
    Volume(dims, v.in).Scalar(radius).Scalar(7).Scalar(sigma).Volume(dims, v.guide).Scalar(flag);
  }
};

// The result of a call, its first output (empty when it made none) and that
// output's dimensions.
struct Outcome {
  standin::CallResult call;
  std::vector<double> out;
  std::vector<int> dims;
};

Outcome Call(const Inputs& in, int nlhs = 1, int nrhs = -1) {
  const gatewaytest::Result r = gatewaytest::CallGateway(&mexFunction, nlhs, in, nrhs);
  Outcome o{r.call, {}, {}};
  if (!r.out.empty()) {
    o.out = r.out[0];
    o.dims = r.dims[0];
  }
  return o;
}

std::vector<double> CoreResult(const Volume& v, int radius, double sigma, unsigned char flag) {
  const testing::Denoised run(v, radius, sigma, flag);
  EXPECT_EQ(run.status, Status::kOk);
  return run.out;
}

using testing::SameBits;

TEST(TessaryGateway, ResultIsTheCoreResult) {
  const Volume v = testing::MakeVolume(9, 8, 10, 1);
  for (double flag : {0.0, 1.0, 256.0}) {
    Inputs in(v, 2.9, 15.0, flag);  // radius 2.9 truncates to 2; 256 narrows to 0
    const size_t arrays_before = standin::LiveArrays();
    const Outcome o = Call(in);
    ASSERT_TRUE(o.call.ok) << o.call.id << ": " << o.call.message;
    EXPECT_EQ(o.dims, (std::vector<int>{9, 8, 10}));
    EXPECT_TRUE(SameBits(o.out, CoreResult(v, 2, 15.0, flag == 1.0 ? 1 : 0))) << "flag " << flag;
    EXPECT_EQ(o.call.arrays_left, 0u);  // the scratch went back before the call returned
    EXPECT_EQ(o.call.blocks_left, 0u);
    EXPECT_EQ(o.call.printed, "");
    EXPECT_EQ(standin::LiveArrays(), arrays_before);
  }
}

TEST(TessaryGateway, NoOutputRequestedStillWorks) {
  const Volume v = testing::MakeVolume(4, 4, 3, 2);
  Inputs in(v, 1, 9.0, 0);
  EXPECT_TRUE(Call(in, 0).call.ok);
}

// The host drops trailing singletons: one slice arrives as a matrix.
TEST(TessaryGateway, OneSliceMatrix) {
  const Volume v = testing::MakeVolume(6, 5, 1, 3);
  Inputs in(v, 2, 12.0, 0);
  ASSERT_EQ(standin::Dimensions(in.in[0]).size(), 2u);
  const Outcome o = Call(in);
  ASSERT_TRUE(o.call.ok) << o.call.id << ": " << o.call.message;
  EXPECT_EQ(o.dims, (std::vector<int>{6, 5}));
  EXPECT_TRUE(SameBits(o.out, CoreResult(v, 2, 12.0, 0)));
}

TEST(TessaryGateway, EmptyVolumeGivesEmptyResultOfItsShape) {
  Volume v;
  v.rows = 0;
  v.cols = 4;
  v.slices = 3;
  Inputs in(v, 2, 12.0, 1);
  const Outcome o = Call(in);
  ASSERT_TRUE(o.call.ok) << o.call.id << ": " << o.call.message;
  EXPECT_EQ(o.dims, (std::vector<int>{0, 4, 3}));
  EXPECT_EQ(o.call.arrays_left, 0u);
}

// sigma 0 declares no noise: the input comes back as it is, under either
// noise model (Rician included, where a negative value would have become 0).
TEST(TessaryGateway, SigmaZeroGivesTheInputBack) {
  Volume v = testing::MakeVolume(5, 5, 4, 4);
  v.in[7] = -3.0;
  for (double flag : {0.0, 1.0}) {
    Inputs in(v, 2, 0.0, flag);
    const Outcome o = Call(in);
    ASSERT_TRUE(o.call.ok);
    EXPECT_TRUE(SameBits(o.out, v.in)) << "flag " << flag;
  }
}

// Each volume of a series, with its own guide volume, comes out as the call
// on that volume alone gives it; sigma is one for all or one per volume.
TEST(TessaryGateway, EachVolumeOfASeriesIsDenoisedAsIfAlone) {
  const Volume volumes[] = {testing::MakeVolume(9, 8, 6, 11), testing::MakeVolume(9, 8, 6, 12)};
  Inputs in(volumes[0], 2, 15.0, 1);
  std::vector<double> noisy, guide;
  for (const Volume& v : volumes) {
    noisy.insert(noisy.end(), v.in.begin(), v.in.end());
    guide.insert(guide.end(), v.guide.begin(), v.guide.end());
  }
  const std::vector<int> dims = {9, 8, 6, 2};
  in.Replace(0, standin::CreateDouble(dims, noisy.data()));
  in.Replace(4, standin::CreateDouble(dims, guide.data()));
  for (const std::vector<double>& sigma : {std::vector<double>{15.0}, std::vector<double>{15.0, 9.0}}) {
    in.Replace(3, standin::CreateDouble({1, static_cast<int>(sigma.size())}, sigma.data()));
    const Outcome o = Call(in);
    ASSERT_TRUE(o.call.ok) << o.call.id << ": " << o.call.message;
    EXPECT_EQ(o.dims, dims);
    EXPECT_EQ(o.call.arrays_left, 0u);
    const std::size_t n = volumes[0].in.size();
    for (std::size_t k = 0; k < 2; ++k) {
      const std::vector<double> part(o.out.begin() + k * n, o.out.begin() + (k + 1) * n);
      EXPECT_TRUE(SameBits(part, CoreResult(volumes[k], 2, sigma[k % sigma.size()], 1)))
          << "volume " << k;
    }
  }
  // The guide must hold a volume for every volume of the series.
  in.Replace(4, standin::CreateDouble({9, 8, 6}, guide.data()));
  const Outcome o = Call(in);
  EXPECT_EQ(o.call.id, "tessary:guideSize");
  EXPECT_NE(o.call.message.find("9x8x6x2, got 9x8x6"), std::string::npos) << o.call.message;
}

// Logical and integer scalars read as the host reads them.
TEST(TessaryGateway, LogicalAndIntegerScalarsAreNumbers) {
  const Volume v = testing::MakeVolume(6, 5, 4, 13);
  Inputs in(v, 1, 12.0, 1);
  const Outcome plain = Call(in);
  ASSERT_TRUE(plain.call.ok);
  for (int input : {1, 5}) {
    mxArray* yes = standin::CreateArray(mxLOGICAL_CLASS, {1, 1});
    *static_cast<unsigned char*>(mxGetData(yes)) = 1;
    in.Replace(input, yes);
  }
  mxArray* sigma = standin::CreateArray(mxINT16_CLASS, {1, 1});
  *static_cast<int16_t*>(mxGetData(sigma)) = 12;
  in.Replace(3, sigma);
  const Outcome o = Call(in);
  ASSERT_TRUE(o.call.ok) << o.call.id << ": " << o.call.message;
  EXPECT_TRUE(SameBits(o.out, plain.out));
}

struct BadCall {
  const char* what;
  int input;         // which input to replace, or -1
  mxArray* replacement;
  const char* id;
};

TEST(TessaryGateway, BadInputsRaiseIdentifiedErrors) {
  const Volume v = testing::MakeVolume(4, 3, 2, 5);
  const size_t arrays_before = standin::LiveArrays();
  const size_t blocks_before = standin::LiveBlocks();
  const BadCall cases[] = {
      {"complex volume", 0, standin::CreateArray(mxDOUBLE_CLASS, {4, 3, 2}, true), "tessary:volume"},
      {"single volume", 0, standin::CreateArray(mxSINGLE_CLASS, {4, 3, 2}), "tessary:volume"},
      {"sparse volume", 0, standin::CreateSparse(4, 3), "tessary:volume"},
      {"4-d volume, 3-d guide", 0, standin::CreateDouble({4, 3, 2, 2}), "tessary:guideSize"},
      {"char volume", 0, standin::CreateArray(mxCHAR_CLASS, {4, 3, 2}), "tessary:volume"},
      {"vector radius", 1, standin::CreateDouble({1, 2}), "tessary:scalar"},
      {"char radius", 1, standin::CreateArray(mxCHAR_CLASS, {1, 1}), "tessary:scalar"},
      {"huge radius", 1, standin::CreateScalar(3e9), "tessary:range"},
      {"NaN radius", 1, standin::CreateScalar(kNaN), "tessary:range"},
      {"huge extra", 2, standin::CreateScalar(-2147483649.0), "tessary:range"},
      {"complex sigma", 3, standin::CreateArray(mxDOUBLE_CLASS, {1, 1}, true), "tessary:scalar"},
      {"NaN sigma", 3, standin::CreateScalar(kNaN), "tessary:sigma"},
      {"infinite sigma", 3, standin::CreateScalar(-INFINITY), "tessary:sigma"},
      {"two sigmas for one volume", 3, standin::CreateDouble({1, 2}), "tessary:scalar"},
      {"logical sigma vector", 3, standin::CreateArray(mxLOGICAL_CLASS, {1, 2}), "tessary:scalar"},
      {"char flag", 5, standin::CreateArray(mxCHAR_CLASS, {1, 1}), "tessary:scalar"},
      {"int32 guide", 4, standin::CreateArray(mxINT32_CLASS, {4, 3, 2}), "tessary:guide"},
      {"guide of another shape", 4, standin::CreateDouble({3, 4, 2}), "tessary:guideSize"},
      {"guide of one slice", 4, standin::CreateDouble({4, 3}), "tessary:guideSize"},
      {"empty flag", 5, standin::CreateDouble({0, 0}), "tessary:scalar"},
      {"huge flag", 5, standin::CreateScalar(2147483648.0), "tessary:range"},
  };
  for (const BadCall& c : cases) {
    Inputs in(v, 1, 9.0, 0);
    in.Replace(c.input, c.replacement);
    const Outcome o = Call(in);
    EXPECT_FALSE(o.call.ok) << c.what;
    EXPECT_EQ(o.call.id, c.id) << c.what << ": " << o.call.message;
    EXPECT_FALSE(o.call.message.empty()) << c.what;
    EXPECT_EQ(o.call.arrays_left, 0u) << c.what;
    EXPECT_EQ(o.call.blocks_left, 0u) << c.what;
  }
  EXPECT_EQ(standin::LiveArrays(), arrays_before);  // the replacements went with the inputs
  EXPECT_EQ(standin::LiveBlocks(), blocks_before);
}

TEST(TessaryGateway, WrongCountsRaiseIdentifiedErrors) {
  const Volume v = testing::MakeVolume(4, 3, 2, 5);
  Inputs in(v, 1, 9.0, 0);
  const Outcome few = Call(in, 1, 5);
  EXPECT_EQ(few.call.id, "tessary:nargin");
  const Outcome none = Call(in, 1, 0);
  EXPECT_EQ(none.call.id, "tessary:nargin");
  const Outcome many = Call(in, 2, 6);
  EXPECT_EQ(many.call.id, "tessary:nargout");
  in.Scalar(1);  // a seventh input is refused too
  const Outcome extra = Call(in, 1, 7);
  EXPECT_EQ(extra.call.id, "tessary:nargin");
}

// The limit check comes before the guide is looked at, so a single array of
// 2^31 voxels is enough; the host only reserves its storage.
TEST(TessaryGateway, TooManyVoxels) {
  mxArray* huge = standin::CreateDouble({2048, 1024, 1024});
  if (huge == nullptr) GTEST_SKIP() << "the host cannot reserve a volume of 2^31 voxels";
  const Volume v = testing::MakeVolume(1, 1, 1, 5);
  Inputs in(v, 1, 9.0, 0);
  in.Replace(0, huge);
  const Outcome o = Call(in);
  EXPECT_EQ(o.call.id, "tessary:size");
  EXPECT_NE(o.call.message.find("denoisers.chunked"), std::string::npos) << o.call.message;
  EXPECT_EQ(o.call.arrays_left, 0u);
}

// Whichever start fails, the call prints the text, waits for the workers
// already running, leaks nothing and leaves the next call unharmed.
TEST(TessaryGateway, FailedThreadStartRaises) {
  const Volume v = testing::MakeVolume(16, 12, 10, 6);
  Inputs in(v, 3, 12.0, 0);
  const Outcome good = Call(in);
  ASSERT_TRUE(good.call.ok);
  const size_t arrays_before = standin::LiveArrays();
  const size_t blocks_before = standin::LiveBlocks();
  for (int k = 0; k < testbits::StartsOfAPass(8); ++k) {
    platform::FailThreadStartAfter(k);
    const Outcome o = Call(in);
    platform::FailThreadStartAfter(-1);
    EXPECT_FALSE(o.call.ok) << "start " << k;
    EXPECT_EQ(o.call.id, "tessary:threads") << "start " << k;
    EXPECT_EQ(o.call.printed, "Threads cannot be created\n") << "start " << k;
    EXPECT_EQ(o.call.arrays_left, 1u) << "start " << k;  // the result; the scratch went back
    EXPECT_EQ(o.call.blocks_left, 0u) << "start " << k;
    EXPECT_TRUE(o.out.empty()) << "start " << k;
    EXPECT_EQ(standin::LiveArrays(), arrays_before) << "start " << k;
    EXPECT_EQ(standin::LiveBlocks(), blocks_before) << "start " << k;
  }
  const Outcome again = Call(in);
  ASSERT_TRUE(again.call.ok);
  EXPECT_TRUE(SameBits(again.out, good.out));
}

}  // namespace
}  // namespace tessary
