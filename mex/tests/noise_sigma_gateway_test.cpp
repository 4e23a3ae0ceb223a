// noise_sigma's gateway called the way the host calls it, through the stand-in.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gateway_calls.h"
#include "standin_host.h"
#include "synthetic_volume.h"
#include "threads.h"

namespace {

using gatewaytest::Args;
using gatewaytest::CallGateway;
using gatewaytest::Result;
using noise_sigma::NoiseModel;
using noise_sigma::fixtures::Background;
using noise_sigma::fixtures::Phantom;
using noise_sigma::fixtures::Volume;

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
    std::function<void(Args&)> build;
    int nlhs = 1;
  };
  const Case cases[] = {
      {"noise_sigma:nargin", [&](Args& c) { c.Volume(shape, v.v); }},
      {"noise_sigma:nargin", [&](Args& c) { c.Volume(shape, v.v).Scalar(1).Scalar(1).Scalar(1); }},
      {"noise_sigma:coils", [&](Args& c) { c.Volume(shape, v.v).Scalar(1).Scalar(1.5); }},
      {"noise_sigma:coils", [&](Args& c) { c.Volume(shape, v.v).Scalar(1).Scalar(65); }},
      {"noise_sigma:coils", [&](Args& c) { c.Volume(shape, v.v).Scalar(0).Scalar(4); }},
      {"noise_sigma:nargout", [&](Args& c) { c.Volume(shape, v.v).Scalar(1); }, 3},
      {"noise_sigma:volume", [&](Args& c) { c.Add(standin::CreateArray(mxSINGLE_CLASS, shape)).Scalar(1); }},
      {"noise_sigma:volume", [&](Args& c) { c.Add(standin::CreateArray(mxDOUBLE_CLASS, shape, true)).Scalar(1); }},
      {"noise_sigma:volume", [&](Args& c) { c.Add(standin::CreateSparse(16, 16)).Scalar(1); }},
      {"noise_sigma:volume", [&](Args& c) { c.Add(standin::CreateDouble({16, 16})).Scalar(1); }},
      {"noise_sigma:volume", [&](Args& c) { c.Add(standin::CreateArray(mxCHAR_CLASS, {1, 4})).Scalar(1); }},
      {"noise_sigma:rician", [&](Args& c) { c.Volume(shape, v.v).Add(standin::CreateDouble({1, 2})); }},
      {"noise_sigma:rician", [&](Args& c) { c.Volume(shape, v.v).Add(standin::CreateArray(mxCHAR_CLASS, {1, 1})); }},
      {"noise_sigma:rician", [&](Args& c) { c.Volume(shape, v.v).Scalar(NAN); }},
      {"noise_sigma:rician", [&](Args& c) { c.Volume(shape, v.v).Scalar(3e9); }},
      {"noise_sigma:size", [&](Args& c) { c.Add(standin::CreateDouble({2000, 2000, 1000, 0})).Scalar(1); }},
      {"noise_sigma:small", [&](Args& c) { c.Add(standin::CreateDouble({14, 14, 3})).Scalar(1); }},  // 7x7x1 blocks
      {"noise_sigma:small", [&](Args& c) { c.Add(standin::CreateDouble({0, 16, 16, 2})).Scalar(1); }},
  };
  const std::size_t arrays_before = standin::LiveArrays();
  for (const Case& k : cases) {
    Args args;
    k.build(args);
    const Result r = CallGateway(mexFunction, k.nlhs, args);
    EXPECT_FALSE(r.call.ok) << k.id;
    EXPECT_EQ(r.call.id, k.id);
    EXPECT_FALSE(r.call.message.empty()) << k.id;
    EXPECT_EQ(r.call.arrays_left, 0u) << k.id;
    EXPECT_EQ(r.call.blocks_left, 0u) << k.id;
    EXPECT_TRUE(r.all_outputs_null) << k.id;
  }
  EXPECT_EQ(standin::LiveArrays(), arrays_before);
}

TEST(NoiseSigmaGateway, OneSigmaPerVolumeAsTheCoreGivesIt) {
  const Volume a = Phantom(20, 6.0, NoiseModel::kRician, Background::kNoisy, 2);
  const Volume b = Phantom(20, 12.0, NoiseModel::kRician, Background::kNoisy, 3);
  std::vector<double> series(a.v);
  series.insert(series.end(), b.v.begin(), b.v.end());
  series.insert(series.end(), a.v.begin(), a.v.end());
  auto call = [](Args&& args) { return CallGateway(mexFunction, 1, args); };
  {  // One volume: a scalar.
    const Result r = call(std::move(Args().Volume({20, 20, 20}, a.v).Scalar(1)));
    ASSERT_TRUE(r.call.ok) << r.call.message;
    EXPECT_EQ(r.dims[0], (std::vector<int>{1, 1}));
    EXPECT_EQ(r.out[0][0], Core(a, NoiseModel::kRician));
  }
  {  // A series along the fifth dimension too: a row vector, in memory order.
    const Result r = call(std::move(Args().Volume({20, 20, 20, 1, 3}, series).Scalar(1)));
    ASSERT_TRUE(r.call.ok) << r.call.message;
    EXPECT_EQ(r.dims[0], (std::vector<int>{1, 3}));
    const std::vector<double> expected = {Core(a, NoiseModel::kRician), Core(b, NoiseModel::kRician),
                                          Core(a, NoiseModel::kRician)};
    EXPECT_EQ(r.out[0], expected);
  }
  for (double flag : {0.0, 0.9, -1.0}) {  // truncated to zero or below: Gaussian noise
    const Result r = call(std::move(Args().Volume({20, 20, 20}, a.v).Scalar(flag)));
    ASSERT_TRUE(r.call.ok);
    EXPECT_EQ(r.out[0][0], Core(a, NoiseModel::kGaussian)) << flag;
  }
  {  // No volumes at all: an empty row.
    const Result r = call(std::move(Args().Add(standin::CreateDouble({20, 20, 20, 0})).Scalar(1)));
    ASSERT_TRUE(r.call.ok);
    EXPECT_EQ(r.dims[0], (std::vector<int>{1, 0}));
  }
}

TEST(NoiseSigmaGateway, FailuresInsideASeriesNameTheirCause) {
  const Volume a = Phantom(20, 6.0, NoiseModel::kGaussian, Background::kNoisy, 4);
  std::vector<double> series(a.v);
  series.resize(2 * a.v.size(), NAN);  // the second volume holds no data
  Args series_args;
  series_args.Volume({20, 20, 20, 2}, series).Scalar(0);
  const Result bad = CallGateway(mexFunction, 1, series_args);
  EXPECT_EQ(bad.call.id, "noise_sigma:small");
  EXPECT_NE(bad.call.message.find("Volume 2"), std::string::npos) << bad.call.message;

  Args one;
  one.Volume({20, 20, 20}, a.v).Scalar(0);
  platform::FailThreadStartAfter(0);
  const Result threads = CallGateway(mexFunction, 1, one);
  platform::FailThreadStartAfter(-1);
  EXPECT_EQ(threads.call.id, "noise_sigma:threads");
  EXPECT_EQ(threads.call.printed, "Threads cannot be created\n");
  EXPECT_EQ(threads.call.blocks_left, 0u);
}

}  // namespace
