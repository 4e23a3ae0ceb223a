// quillon's gateway called the way the host calls it, through the stand-in.
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "standin_host.h"
#include "threads.h"
#include "gateway_calls.h"
#include "quillon_support.h"

namespace {

using quillon::fixtures::NoisyPhantom;
using quillon::fixtures::Volume;

using gatewaytest::Args;
using gatewaytest::CallGateway;
using gatewaytest::Result;
using gatewaytest::SameBits;

std::vector<int> Dims(const Volume& v) { return {v.rows, v.cols, v.slices}; }

std::vector<double> Twice(const std::vector<double>& v) {
  std::vector<double> both(v);
  both.insert(both.end(), v.begin(), v.end());
  return both;
}

Result Call(Args& args, int nlhs = 1) { return CallGateway(mexFunction, nlhs, args); }

TEST(QuillonGateway, BadCallsRaiseIdentifiedErrorsAndLeaveNothingBehind) {
  Volume v(6, 6, 6, 10.0);
  struct Case {
    const char* id;
    std::function<void(Args&)> build;
    int nlhs = 1;
    const char* says = "";  // a phrase the message holds
  };
  const Case cases[] = {
      {"quillon:nargin", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1); }},
      {"quillon:nargin", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1).Scalar(1).Scalar(1); }},
      {"quillon:nargout", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1).Scalar(1); }, 3},
      {"quillon:volume", [&](Args& a) { a.Add(standin::CreateArray(mxSINGLE_CLASS, {6, 6, 6})).Scalar(1).Scalar(1); }},
      {"quillon:volume", [&](Args& a) { a.Add(standin::CreateArray(mxDOUBLE_CLASS, {6, 6, 6}, true)).Scalar(1).Scalar(1); }},
      {"quillon:volume", [&](Args& a) { a.Add(standin::CreateSparse(6, 6)).Scalar(1).Scalar(1); }},
      {"quillon:volume", [&](Args& a) { a.Add(standin::CreateArray(mxCHAR_CLASS, {1, 4})).Scalar(1).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume(Dims(v), v.v).Add(standin::CreateDouble({1, 2})).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume(Dims(v), v.v).Add(standin::CreateDouble({0, 0})).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume(Dims(v), v.v).Add(standin::CreateArray(mxDOUBLE_CLASS, {1, 1}, true)).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume(Dims(v), v.v).Add(standin::CreateArray(mxCHAR_CLASS, {1, 1})).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(NAN).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(INFINITY).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(-0.5).Scalar(1); }},
      // One sigma per volume: the count must match, and each is checked.
      {"quillon:sigma", [&](Args& a) { a.Volume({6, 6, 6, 2}, Twice(v.v)).Volume({1, 3}, {1, 1, 1}).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume({6, 6, 6, 2}, Twice(v.v)).Volume({2, 1}, {1, NAN}).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume({6, 6, 6, 2}, Twice(v.v)).Volume({1, 2}, {-1, 1}).Scalar(1); }},
      // Sides of fewer than 4 voxels hold no block; a matrix is one slice.
      {"quillon:size", [&](Args& a) { a.Add(standin::CreateDouble({3, 6, 6})).Scalar(1).Scalar(1); }},
      {"quillon:size", [&](Args& a) { a.Add(standin::CreateDouble({6, 2, 6, 2})).Scalar(1).Scalar(1); }},
      {"quillon:size", [&](Args& a) { a.Add(standin::CreateDouble({64, 64, 3})).Scalar(1).Scalar(1); }, 1,
       "64x64x3: it has 3 slices, and quillon needs at least 4 rows, 4 columns and 4 slices"},
      {"quillon:size", [&](Args& a) { a.Add(standin::CreateDouble({6, 6})).Scalar(1).Scalar(1); }},
      {"quillon:rician", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1).Add(standin::CreateArray(mxCHAR_CLASS, {1, 1})); }},
      {"quillon:rician", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1).Add(standin::CreateArray(mxLOGICAL_CLASS, {1, 2})); }},
      {"quillon:rician", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1).Scalar(NAN); }},
      {"quillon:rician", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1).Scalar(3e9); }},
      {"quillon:rician", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1).Scalar(-INFINITY); }},
      // More than 2^31 - 1 voxels in the first three dimensions (no data: the fourth is 0).
      {"quillon:size", [&](Args& a) { a.Add(standin::CreateDouble({2000, 2000, 1000, 0})).Scalar(1).Scalar(1); }, 1,
       "denoisers.chunked"},
  };
  const std::size_t arrays_before = standin::LiveArrays();
  const std::size_t blocks_before = standin::LiveBlocks();
  for (const Case& c : cases) {
    Args args;
    c.build(args);
    const Result o = Call(args, c.nlhs);
    EXPECT_FALSE(o.call.ok) << c.id;
    EXPECT_EQ(o.call.id, c.id);
    EXPECT_FALSE(o.call.message.empty());
    EXPECT_NE(o.call.message.find(c.says), std::string::npos) << o.call.message;
    EXPECT_EQ(o.call.blocks_left, 0u) << c.id;
    EXPECT_EQ(o.call.arrays_left, 0u) << c.id;  // checks come before any allocation
    EXPECT_TRUE(o.all_outputs_null);
  }
  EXPECT_EQ(standin::LiveArrays(), arrays_before);
  EXPECT_EQ(standin::LiveBlocks(), blocks_before);
}

TEST(QuillonGateway, TooLargeAValueForTheBiasTableIsRefusedBeforeAllocating) {
  Volume v(5, 5, 5, 3.0);
  // Just past the limit: a table of eight million entries, seconds of work
  // for a 125-voxel volume, is refused at once.
  v.at(2, 2, 2) = 4194304.5;
  for (double flag : {1.0, 0.0}) {
    Args args;
    args.Volume(Dims(v), v.v).Scalar(2).Scalar(flag);
    const Result o = Call(args);
    if (flag > 0) {
      EXPECT_EQ(o.call.id, "quillon:range");
      EXPECT_NE(o.call.message.find("scale the volume (and sigma) down"), std::string::npos);
      EXPECT_EQ(o.call.arrays_left, 0u);
    } else {
      EXPECT_TRUE(o.call.ok);  // without Rician noise there is no table to size
    }
  }
}

TEST(QuillonGateway, ResultShapesAndTheSecondOutput) {
  {  // A zero dimension: an empty result of the same shape.
    Args args;
    args.Add(standin::CreateDouble({0, 5, 5})).Scalar(1).Scalar(1);
    const Result o = Call(args);
    ASSERT_TRUE(o.call.ok);
    EXPECT_EQ(o.dims[0], (std::vector<int>{0, 5, 5}));
  }
  Volume v = NoisyPhantom(9, 8, 7, 4.0, 1);
  Args args;
  args.Volume(Dims(v), v.v).Scalar(4).Scalar(1);
  const Result three = Call(args, 2);
  ASSERT_TRUE(three.call.ok);
  EXPECT_EQ(three.call.arrays_left, 0u);  // the scratch went back before the call returned
  EXPECT_EQ(three.call.blocks_left, 0u);
  EXPECT_FALSE(SameBits(three.out[0], three.out[1]));
}

// Each volume of a series comes out as the call on that volume alone would
// give it (its own largest value sizing the bias table), in both outputs,
// with one sigma for all volumes or one each; sigma 0 gives the volume back.
TEST(QuillonGateway, EachVolumeOfASeriesIsDenoisedAsIfAlone) {
  const std::vector<Volume> volumes = {NoisyPhantom(9, 8, 7, 4.0, 1),
                                       NoisyPhantom(9, 8, 7, 4.0, 2, 400.0),
                                       NoisyPhantom(9, 8, 7, 4.0, 3)};
  std::vector<double> data;
  for (const Volume& v : volumes) data.insert(data.end(), v.v.begin(), v.v.end());
  auto alone = [&](std::size_t k, double sigma) {
    Args args;
    args.Volume(Dims(volumes[k]), volumes[k].v).Scalar(sigma).Scalar(1);
    return Call(args, 2);
  };
  struct Shape {
    std::vector<int> dims;
    std::vector<int> sigma_dims;
    std::vector<double> sigma;
  };
  const Shape shapes[] = {{{9, 8, 7, 3}, {1, 1}, {4}},
                          {{9, 8, 7, 3}, {1, 3}, {4, 6, 0}},
                          {{9, 8, 7, 1, 3}, {3, 1}, {0, 2.5, 4}}};
  for (const Shape& shape : shapes) {
    Args args;
    args.Volume(shape.dims, data).Volume(shape.sigma_dims, shape.sigma).Scalar(1);
    const Result o = Call(args, 2);
    ASSERT_TRUE(o.call.ok) << o.call.id << ": " << o.call.message;
    EXPECT_EQ(o.dims[0], shape.dims);
    EXPECT_EQ(o.dims[1], shape.dims);
    EXPECT_EQ(o.call.arrays_left, 0u);
    const std::size_t n = volumes[0].v.size();
    for (std::size_t k = 0; k < volumes.size(); ++k) {
      const double sigma = shape.sigma[shape.sigma.size() == 1 ? 0 : k];
      const Result one = alone(k, sigma);
      ASSERT_TRUE(one.call.ok);
      for (int out = 0; out < 2; ++out) {
        const std::vector<double> part(o.out[out].begin() + k * n, o.out[out].begin() + (k + 1) * n);
        EXPECT_TRUE(SameBits(part, one.out[out])) << "volume " << k << ", output " << out;
        if (sigma == 0.0) {
          EXPECT_TRUE(SameBits(part, volumes[k].v)) << "volume " << k;
        }
      }
    }
  }
}

// Logical and integer scalars read as the host reads them.
TEST(QuillonGateway, LogicalAndIntegerScalarsAreNumbers) {
  Volume v = NoisyPhantom(9, 8, 7, 4.0, 4);
  auto call = [&](mxArray* sigma, mxArray* flag) {
    Args args;
    args.Volume(Dims(v), v.v).Add(sigma).Add(flag);
    return Call(args);
  };
  const Result plain = call(standin::CreateScalar(1), standin::CreateScalar(1));
  ASSERT_TRUE(plain.call.ok);
  mxArray* yes = standin::CreateArray(mxLOGICAL_CLASS, {1, 1});
  *static_cast<unsigned char*>(mxGetData(yes)) = 1;
  mxArray* also_yes = mxDuplicateArray(yes);
  const Result logical = call(yes, also_yes);
  ASSERT_TRUE(logical.call.ok) << logical.call.id;
  EXPECT_TRUE(SameBits(logical.out[0], plain.out[0]));
  mxArray* sigma = standin::CreateArray(mxINT32_CLASS, {1, 1});
  *static_cast<int*>(mxGetData(sigma)) = 1;
  const Result integer = call(sigma, standin::CreateScalar(1.7));
  ASSERT_TRUE(integer.call.ok);
  EXPECT_TRUE(SameBits(integer.out[0], plain.out[0]));
}

TEST(QuillonGateway, AWorkerThatCannotStartEndsTheCallNotTheProcess) {
  Volume v = NoisyPhantom(12, 10, 14, 4.0, 8);
  Args args;
  args.Volume(Dims(v), v.v).Scalar(4).Scalar(1);
  const Result good = Call(args);
  ASSERT_TRUE(good.call.ok);
  const std::size_t blocks_before = standin::LiveBlocks();
  const std::size_t arrays_before = standin::LiveArrays();
  for (int k = 0; k < 2 * testbits::StartsOfAPass(8); ++k) {  // the starts of both passes
    platform::FailThreadStartAfter(k);
    const Result o = Call(args);
    platform::FailThreadStartAfter(-1);
    EXPECT_FALSE(o.call.ok);
    EXPECT_EQ(o.call.id, "quillon:threads");
    EXPECT_EQ(o.call.printed, "Threads cannot be created\n");
    EXPECT_EQ(o.call.blocks_left, 0u);
    EXPECT_EQ(standin::LiveBlocks(), blocks_before);
    EXPECT_EQ(standin::LiveArrays(), arrays_before);
  }
  const Result again = Call(args);
  ASSERT_TRUE(again.call.ok);
  EXPECT_TRUE(SameBits(again.out[0], good.out[0]));
}

}  // namespace
