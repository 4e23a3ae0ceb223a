// quillon's gateway called the way the host calls it, through the stand-in.
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "standin_host.h"
#include "threads.h"
#include "volume_helpers.h"

namespace {

using quillon::fixtures::NoisyPhantom;
using quillon::fixtures::Volume;

// Inputs owned by the test, destroyed at the end of the scope.
struct Args {
  std::vector<mxArray*> in;
  ~Args() {
    for (mxArray* a : in) standin::Destroy(a);
  }
  Args& Add(mxArray* a) {
    in.push_back(a);
    return *this;
  }
  Args& Volume3(Volume& v) { return Add(standin::CreateDouble({v.rows, v.cols, v.slices}, v.data())); }
  Args& Scalar(double x) { return Add(standin::CreateScalar(x)); }
};

struct Outcome {
  standin::CallResult result;
  std::vector<mxArray*> out;
  ~Outcome() {
    for (mxArray* a : out)
      if (a != nullptr) standin::Destroy(a);
  }
  std::vector<double> Values(int k = 0) const {
    const mxArray* a = out[k];
    return std::vector<double>(mxGetPr(a), mxGetPr(a) + mxGetNumberOfElements(a));
  }
};

void Call(Outcome& o, Args& args, int nlhs = 1) {
  o.out.assign(nlhs > 0 ? nlhs : 1, nullptr);
  std::vector<const mxArray*> in(args.in.begin(), args.in.end());
  o.result = standin::Call(mexFunction, nlhs, o.out.data(), static_cast<int>(in.size()), in.data());
}

bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(QuillonGateway, BadCallsRaiseIdentifiedErrorsAndLeaveNothingBehind) {
  Volume v(6, 6, 6, 10.0);
  struct Case {
    const char* id;
    std::function<void(Args&)> build;
    int nlhs = 1;
  };
  const Case cases[] = {
      {"quillon:nargin", [&](Args& a) { a.Volume3(v).Scalar(1); }},
      {"quillon:nargin", [&](Args& a) { a.Volume3(v).Scalar(1).Scalar(1).Scalar(1); }},
      {"quillon:nargout", [&](Args& a) { a.Volume3(v).Scalar(1).Scalar(1); }, 3},
      {"quillon:volume", [&](Args& a) { a.Add(standin::CreateArray(mxSINGLE_CLASS, {6, 6, 6})).Scalar(1).Scalar(1); }},
      {"quillon:volume", [&](Args& a) { a.Add(standin::CreateArray(mxDOUBLE_CLASS, {6, 6, 6}, true)).Scalar(1).Scalar(1); }},
      {"quillon:volume", [&](Args& a) { a.Add(standin::CreateSparse(6, 6)).Scalar(1).Scalar(1); }},
      {"quillon:volume", [&](Args& a) { a.Add(standin::CreateDouble({6, 6})).Scalar(1).Scalar(1); }},
      {"quillon:volume", [&](Args& a) { a.Add(standin::CreateArray(mxCHAR_CLASS, {1, 4})).Scalar(1).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume3(v).Add(standin::CreateDouble({1, 2})).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume3(v).Add(standin::CreateDouble({0, 0})).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume3(v).Add(standin::CreateArray(mxDOUBLE_CLASS, {1, 1}, true)).Scalar(1); }},
      {"quillon:sigma", [&](Args& a) { a.Volume3(v).Add(standin::CreateArray(mxCHAR_CLASS, {1, 1})).Scalar(1); }},
      {"quillon:rician", [&](Args& a) { a.Volume3(v).Scalar(1).Add(standin::CreateArray(mxLOGICAL_CLASS, {1, 1})); }},
      {"quillon:rician", [&](Args& a) { a.Volume3(v).Scalar(1).Scalar(NAN); }},
      {"quillon:rician", [&](Args& a) { a.Volume3(v).Scalar(1).Scalar(3e9); }},
      {"quillon:rician", [&](Args& a) { a.Volume3(v).Scalar(1).Scalar(-INFINITY); }},
      // More than 2^31 - 1 voxels in the first three dimensions (no data: the fourth is 0).
      {"quillon:size", [&](Args& a) { a.Add(standin::CreateDouble({2000, 2000, 1000, 0})).Scalar(1).Scalar(1); }},
  };
  const std::size_t arrays_before = standin::LiveArrays();
  const std::size_t blocks_before = standin::LiveBlocks();
  for (const Case& c : cases) {
    Args args;
    c.build(args);
    Outcome o;
    Call(o, args, c.nlhs);
    EXPECT_FALSE(o.result.ok) << c.id;
    EXPECT_EQ(o.result.id, c.id);
    EXPECT_FALSE(o.result.message.empty());
    EXPECT_EQ(o.result.blocks_left, 0u) << c.id;
    EXPECT_EQ(o.result.arrays_left, 0u) << c.id;  // checks come before any allocation
    for (mxArray* a : o.out) EXPECT_EQ(a, nullptr);
  }
  EXPECT_EQ(standin::LiveArrays(), arrays_before);
  EXPECT_EQ(standin::LiveBlocks(), blocks_before);
}

TEST(QuillonGateway, TooLargeAValueForTheBiasTableIsRefusedBeforeAllocating) {
  Volume v(5, 5, 5, 3.0);
  v.at(2, 2, 2) = 2e8;
  for (double flag : {1.0, 0.0}) {
    Args args;
    args.Volume3(v).Scalar(2).Scalar(flag);
    Outcome o;
    Call(o, args);
    if (flag > 0) {
      EXPECT_EQ(o.result.id, "quillon:range");
      EXPECT_EQ(o.result.arrays_left, 0u);
    } else {
      EXPECT_TRUE(o.result.ok);  // without Rician noise there is no table to size
    }
  }
}

TEST(QuillonGateway, ResultShapesAndTheSecondOutput) {
  {  // A zero dimension: an empty result of the same shape.
    Args args;
    args.Add(standin::CreateDouble({0, 5, 5})).Scalar(1).Scalar(1);
    Outcome o;
    Call(o, args);
    ASSERT_TRUE(o.result.ok);
    EXPECT_EQ(standin::Dimensions(o.out[0]), (std::vector<int>{0, 5, 5}));
  }
  Volume v = NoisyPhantom(9, 8, 7, 4.0, 1);
  Outcome three;
  {
    Args args;
    args.Volume3(v).Scalar(4).Scalar(1);
    Call(three, args, 2);
    ASSERT_TRUE(three.result.ok);
    EXPECT_EQ(three.result.arrays_left, 3u);  // weights, accumulator, bias table
    EXPECT_EQ(three.result.blocks_left, 0u);  // transform tables handed back
    EXPECT_FALSE(SameBits(three.Values(0), three.Values(1)));
  }
  {  // Without Rician noise no bias table is made.
    Args args;
    args.Volume3(v).Scalar(4).Scalar(0);
    Outcome o;
    Call(o, args);
    EXPECT_EQ(o.result.arrays_left, 2u);
  }
  {  // A fourth dimension: the same shape back, only the first volume computed.
    std::vector<double> data(v.v);
    data.resize(2 * v.v.size(), 50.0);
    Args args;
    args.Add(standin::CreateDouble({9, 8, 7, 2}, data.data())).Scalar(4).Scalar(1);
    Outcome o;
    Call(o, args);
    ASSERT_TRUE(o.result.ok);
    EXPECT_EQ(standin::Dimensions(o.out[0]), (std::vector<int>{9, 8, 7, 2}));
    const std::vector<double> all = o.Values();
    EXPECT_TRUE(SameBits(std::vector<double>(all.begin(), all.begin() + v.v.size()), three.Values(0)));
    for (size_t i = v.v.size(); i < all.size(); ++i) EXPECT_EQ(all[i], 0.0);
  }
  {  // Scalars of other numeric classes read as their value.
    Args args;
    mxArray* sigma = standin::CreateArray(mxINT32_CLASS, {1, 1});
    *static_cast<int*>(static_cast<void*>(mxGetPr(sigma))) = 4;
    args.Volume3(v).Add(sigma).Scalar(1.7);
    Outcome o;
    Call(o, args);
    ASSERT_TRUE(o.result.ok);
    EXPECT_TRUE(SameBits(o.Values(), three.Values(0)));
  }
}

TEST(QuillonGateway, AWorkerThatCannotStartEndsTheCallNotTheProcess) {
  Volume v = NoisyPhantom(12, 10, 14, 4.0, 8);
  Outcome good;
  Args args;
  args.Volume3(v).Scalar(4).Scalar(1);
  Call(good, args);
  ASSERT_TRUE(good.result.ok);
  const std::size_t blocks_before = standin::LiveBlocks();
  const std::size_t arrays_before = standin::LiveArrays();
  for (int k = 0; k < 16; ++k) {  // eight starts in each pass
    platform::FailThreadStartAfter(k);
    Outcome o;
    Call(o, args);
    platform::FailThreadStartAfter(-1);
    EXPECT_FALSE(o.result.ok);
    EXPECT_EQ(o.result.id, "quillon:threads");
    EXPECT_EQ(o.result.printed, "Threads cannot be created\n");
    EXPECT_EQ(o.result.blocks_left, 0u);
    EXPECT_EQ(standin::LiveBlocks(), blocks_before);
    EXPECT_EQ(standin::LiveArrays(), arrays_before);
  }
  Outcome again;
  Call(again, args);
  ASSERT_TRUE(again.result.ok);
  EXPECT_TRUE(SameBits(again.Values(), good.Values()));
}

}  // namespace
