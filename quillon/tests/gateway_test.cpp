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
#include "support.h"

namespace {

using quillon::fixtures::NoisyPhantom;
using quillon::fixtures::Volume;

using gatewaytest::Args;
using gatewaytest::CallGateway;
using gatewaytest::Result;
using gatewaytest::SameBits;

std::vector<int> Dims(const Volume& v) { return {v.rows, v.cols, v.slices}; }

Result Call(Args& args, int nlhs = 1) { return CallGateway(mexFunction, nlhs, args); }

TEST(QuillonGateway, BadCallsRaiseIdentifiedErrorsAndLeaveNothingBehind) {
  Volume v(6, 6, 6, 10.0);
  struct Case {
    const char* id;
    std::function<void(Args&)> build;
    int nlhs = 1;
  };
  const Case cases[] = {
      {"quillon:nargin", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1); }},
      {"quillon:nargin", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1).Scalar(1).Scalar(1); }},
      {"quillon:nargout", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1).Scalar(1); }, 3},
      {"quillon:volume", [&](Args& a) { a.Add(standin::CreateArray(mxSINGLE_CLASS, {6, 6, 6})).Scalar(1).Scalar(1); }},
      {"quillon:volume", [&](Args& a) { a.Add(standin::CreateArray(mxDOUBLE_CLASS, {6, 6, 6}, true)).Scalar(1).Scalar(1); }},
      {"quillon:volume", [&](Args& a) { a.Add(standin::CreateSparse(6, 6)).Scalar(1).Scalar(1); }},
      {"quillon:volume", [&](Args& a) { a.Add(standin::CreateDouble({6, 6})).Scalar(1).Scalar(1); }},
      {"quillon:volume", [&](Args& a) { a.Add(standin::CreateArray(mxCHAR_CLASS, {1, 4})).Scalar(1).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume(Dims(v), v.v).Add(standin::CreateDouble({1, 2})).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume(Dims(v), v.v).Add(standin::CreateDouble({0, 0})).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume(Dims(v), v.v).Add(standin::CreateArray(mxDOUBLE_CLASS, {1, 1}, true)).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume(Dims(v), v.v).Add(standin::CreateArray(mxCHAR_CLASS, {1, 1})).Scalar(1); }},
      {"quillon:rician", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1).Add(standin::CreateArray(mxLOGICAL_CLASS, {1, 1})); }},
      {"quillon:rician", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1).Scalar(NAN); }},
      {"quillon:rician", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1).Scalar(3e9); }},
      {"quillon:rician", [&](Args& a) { a.Volume(Dims(v), v.v).Scalar(1).Scalar(-INFINITY); }},
      // More than 2^31 - 1 voxels in the first three dimensions (no data: the fourth is 0).
      {"quillon:size", [&](Args& a) { a.Add(standin::CreateDouble({2000, 2000, 1000, 0})).Scalar(1).Scalar(1); }},
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
  Result three;
  {
    Args args;
    args.Volume(Dims(v), v.v).Scalar(4).Scalar(1);
    three = Call(args, 2);
    ASSERT_TRUE(three.call.ok);
    EXPECT_EQ(three.call.arrays_left, 3u);  // weights, accumulator, bias table
    EXPECT_EQ(three.call.blocks_left, 0u);  // transform tables handed back
    EXPECT_FALSE(SameBits(three.out[0], three.out[1]));
  }
  {  // Without Rician noise no bias table is made.
    Args args;
    args.Volume(Dims(v), v.v).Scalar(4).Scalar(0);
    const Result o = Call(args);
    EXPECT_EQ(o.call.arrays_left, 2u);
  }
  {  // A fourth dimension: the same shape back, only the first volume computed.
    std::vector<double> data(v.v);
    data.resize(2 * v.v.size(), 50.0);
    Args args;
    args.Add(standin::CreateDouble({9, 8, 7, 2}, data.data())).Scalar(4).Scalar(1);
    const Result o = Call(args);
    ASSERT_TRUE(o.call.ok);
    EXPECT_EQ(o.dims[0], (std::vector<int>{9, 8, 7, 2}));
    const std::vector<double>& all = o.out[0];
    EXPECT_TRUE(SameBits(std::vector<double>(all.begin(), all.begin() + v.v.size()), three.out[0]));
    for (size_t i = v.v.size(); i < all.size(); ++i) EXPECT_EQ(all[i], 0.0);
  }
  {  // Scalars of other numeric classes read as their value.
    Args args;
    mxArray* sigma = standin::CreateArray(mxINT32_CLASS, {1, 1});
    *static_cast<int*>(static_cast<void*>(mxGetPr(sigma))) = 4;
    args.Volume(Dims(v), v.v).Add(sigma).Scalar(1.7);
    const Result o = Call(args);
    ASSERT_TRUE(o.call.ok);
    EXPECT_TRUE(SameBits(o.out[0], three.out[0]));
  }
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
