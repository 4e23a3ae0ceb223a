// noise_sigma's gateway called the way the host calls it, through the stand-in.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "standin_host.h"
#include "synthetic_volume.h"
#include "threads.h"

namespace {

using noise_sigma::NoiseModel;
using noise_sigma::fixtures::Background;
using noise_sigma::fixtures::Phantom;
using noise_sigma::fixtures::Volume;

// One call: the inputs it owns, the outputs the host handed back.
struct Call {
  std::vector<mxArray*> in;
  mxArray* out = nullptr;
  standin::CallResult result;
  ~Call() {
    for (mxArray* a : in) standin::Destroy(a);
    if (out != nullptr) standin::Destroy(out);
  }
  Call& Add(mxArray* a) {
    in.push_back(a);
    return *this;
  }
  Call& Array(const std::vector<int>& dims, const std::vector<double>& data) {
    return Add(standin::CreateDouble(dims, data.data()));
  }
  Call& Scalar(double x) { return Add(standin::CreateScalar(x)); }
  Call& Run(int nlhs = 1) {
    std::vector<const mxArray*> args(in.begin(), in.end());
    result = standin::Call(mexFunction, nlhs, &out, static_cast<int>(args.size()), args.data());
    return *this;
  }
  std::vector<double> Values() const {
    return std::vector<double>(mxGetPr(out), mxGetPr(out) + mxGetNumberOfElements(out));
  }
};

double Core(const Volume& v, NoiseModel model) {
  double sigma = 0.0;
  EXPECT_EQ(noise_sigma::fixtures::EstimateOf(v, model, &sigma), noise_sigma::Status::kOk);
  return sigma;
}

TEST(NoiseSigmaGateway, BadCallsRaiseIdentifiedErrorsBeforeAllocating) {
  const Volume v = Phantom(16, 5.0, NoiseModel::kRician, Background::kNoisy, 1);
  const std::vector<int> shape = {16, 16, 16};
  struct Case {
    const char* id;
    std::function<void(Call&)> build;
    int nlhs = 1;
  };
  const Case cases[] = {
      {"noise_sigma:nargin", [&](Call& c) { c.Array(shape, v.v); }},
      {"noise_sigma:nargin", [&](Call& c) { c.Array(shape, v.v).Scalar(1).Scalar(1); }},
      {"noise_sigma:nargout", [&](Call& c) { c.Array(shape, v.v).Scalar(1); }, 2},
      {"noise_sigma:volume", [&](Call& c) { c.Add(standin::CreateArray(mxSINGLE_CLASS, shape)).Scalar(1); }},
      {"noise_sigma:volume", [&](Call& c) { c.Add(standin::CreateArray(mxDOUBLE_CLASS, shape, true)).Scalar(1); }},
      {"noise_sigma:volume", [&](Call& c) { c.Add(standin::CreateSparse(16, 16)).Scalar(1); }},
      {"noise_sigma:volume", [&](Call& c) { c.Add(standin::CreateDouble({16, 16})).Scalar(1); }},
      {"noise_sigma:volume", [&](Call& c) { c.Add(standin::CreateArray(mxCHAR_CLASS, {1, 4})).Scalar(1); }},
      {"noise_sigma:rician", [&](Call& c) { c.Array(shape, v.v).Add(standin::CreateDouble({1, 2})); }},
      {"noise_sigma:rician", [&](Call& c) { c.Array(shape, v.v).Add(standin::CreateArray(mxLOGICAL_CLASS, {1, 1})); }},
      {"noise_sigma:rician", [&](Call& c) { c.Array(shape, v.v).Scalar(NAN); }},
      {"noise_sigma:rician", [&](Call& c) { c.Array(shape, v.v).Scalar(3e9); }},
      {"noise_sigma:size", [&](Call& c) { c.Add(standin::CreateDouble({2000, 2000, 1000, 0})).Scalar(1); }},
      {"noise_sigma:small", [&](Call& c) { c.Add(standin::CreateDouble({14, 14, 3})).Scalar(1); }},  // 7x7x1 blocks
      {"noise_sigma:small", [&](Call& c) { c.Add(standin::CreateDouble({0, 16, 16, 2})).Scalar(1); }},
  };
  const std::size_t arrays_before = standin::LiveArrays();
  for (const Case& k : cases) {
    Call c;
    k.build(c);
    c.Run(k.nlhs);
    EXPECT_FALSE(c.result.ok) << k.id;
    EXPECT_EQ(c.result.id, k.id);
    EXPECT_FALSE(c.result.message.empty()) << k.id;
    EXPECT_EQ(c.result.arrays_left, 0u) << k.id;
    EXPECT_EQ(c.result.blocks_left, 0u) << k.id;
    EXPECT_EQ(c.out, nullptr) << k.id;
  }
  EXPECT_EQ(standin::LiveArrays(), arrays_before);
}

TEST(NoiseSigmaGateway, OneSigmaPerVolumeAsTheCoreGivesIt) {
  const Volume a = Phantom(20, 6.0, NoiseModel::kRician, Background::kNoisy, 2);
  const Volume b = Phantom(20, 12.0, NoiseModel::kRician, Background::kNoisy, 3);
  std::vector<double> series(a.v);
  series.insert(series.end(), b.v.begin(), b.v.end());
  series.insert(series.end(), a.v.begin(), a.v.end());
  {  // One volume: a scalar.
    Call c;
    c.Array({20, 20, 20}, a.v).Scalar(1).Run();
    ASSERT_TRUE(c.result.ok) << c.result.message;
    EXPECT_EQ(standin::Dimensions(c.out), (std::vector<int>{1, 1}));
    EXPECT_EQ(c.Values()[0], Core(a, NoiseModel::kRician));
  }
  {  // A series along the fifth dimension too: a row vector, in memory order.
    Call c;
    c.Array({20, 20, 20, 1, 3}, series).Scalar(1).Run();
    ASSERT_TRUE(c.result.ok) << c.result.message;
    EXPECT_EQ(standin::Dimensions(c.out), (std::vector<int>{1, 3}));
    const std::vector<double> expected = {Core(a, NoiseModel::kRician), Core(b, NoiseModel::kRician),
                                          Core(a, NoiseModel::kRician)};
    EXPECT_EQ(c.Values(), expected);
  }
  {  // A flag that truncates to zero or below reads the noise as Gaussian.
    for (double flag : {0.0, 0.9, -1.0}) {
      Call c;
      c.Array({20, 20, 20}, a.v).Scalar(flag).Run();
      ASSERT_TRUE(c.result.ok);
      EXPECT_EQ(c.Values()[0], Core(a, NoiseModel::kGaussian)) << flag;
    }
  }
  {  // No volumes at all: an empty row.
    Call c;
    c.Add(standin::CreateDouble({20, 20, 20, 0})).Scalar(1).Run();
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(standin::Dimensions(c.out), (std::vector<int>{1, 0}));
  }
}

TEST(NoiseSigmaGateway, FailuresInsideASeriesNameTheirCause) {
  const Volume a = Phantom(20, 6.0, NoiseModel::kGaussian, Background::kNoisy, 4);
  std::vector<double> series(a.v);
  series.resize(2 * a.v.size(), NAN);  // the second volume holds no data
  Call bad;
  bad.Array({20, 20, 20, 2}, series).Scalar(0).Run();
  EXPECT_EQ(bad.result.id, "noise_sigma:small");
  EXPECT_NE(bad.result.message.find("Volume 2"), std::string::npos) << bad.result.message;

  platform::FailThreadStartAfter(0);
  Call threads;
  threads.Array({20, 20, 20}, a.v).Scalar(0).Run();
  platform::FailThreadStartAfter(-1);
  EXPECT_EQ(threads.result.id, "noise_sigma:threads");
  EXPECT_EQ(threads.result.blocks_left, 0u);
}

}  // namespace
