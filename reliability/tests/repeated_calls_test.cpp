// Hundreds of calls of each built MEX file, loaded as the host loads it,
// valid and invalid argument lists interleaved in a fixed pseudo-random
// order: every valid call gives the bits of its first computation, every
// invalid one its identified error, and the process holds no more threads,
// arrays, blocks or memory at the end than after the first calls.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "gateway_calls.h"
#include "process_state.h"

namespace reliability {
namespace {

using namespace gatewaytest;

standin::MexFunction Load(const char* path) {
  // Never closed: the module stays loaded for the whole run, as in the host.
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<standin::MexFunction>(dlsym(module, "mexFunction"));
}

struct CallCase {
  std::string name;
  standin::MexFunction fn;
  int nlhs;
  std::string id;  // empty: valid
  std::unique_ptr<Args> args = std::make_unique<Args>();
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(RepeatedCalls, ResultsStayTheSameAndNothingIsHeld) {
  const standin::MexFunction quillon = Load(QUILLON_MEX);
  const standin::MexFunction tessary = Load(TESSARY_MEX);
  ASSERT_NE(quillon, nullptr) << dlerror();
  ASSERT_NE(tessary, nullptr) << dlerror();

  std::vector<CallCase> cases;
  auto add = [&](std::string name, standin::MexFunction fn, int nlhs, std::string id) -> Args& {
    cases.push_back({std::move(name), fn, nlhs, std::move(id)});
    return *cases.back().args;
  };
  const std::vector<double> a = Phantom(16, 14, 12, 90.0, 11);
  const std::vector<double> b = Phantom(10, 9, 11, 60.0, 12);
  const std::vector<double> c = Phantom(8, 7, 6, 50.0, 13);
  std::vector<double> four(c);
  four.insert(four.end(), c.begin(), c.end());
  const std::vector<double> slice = Phantom(12, 11, 1, 70.0, 14);

  // quillon(noisy, sigma, rician)
  add("q rician two outputs", quillon, 2, "").Volume({16, 14, 12}, a).Scalar(8).Scalar(1);
  add("q gaussian", quillon, 1, "").Volume({10, 9, 11}, b).Scalar(5).Scalar(0);
  add("q four dimensions", quillon, 1, "").Volume({8, 7, 6, 2}, four).Scalar(4).Scalar(1);
  add("q no output", quillon, 0, "").Volume({8, 7, 6}, c).Scalar(4).Scalar(-2);
  add("q empty", quillon, 1, "").Volume({0, 5, 5}, {}).Scalar(4).Scalar(1);
  add("q nargin", quillon, 1, "quillon:nargin").Volume({8, 7, 6}, c).Scalar(4);
  add("q nargout", quillon, 3, "quillon:nargout").Volume({8, 7, 6}, c).Scalar(4).Scalar(1);
  add("q single", quillon, 1, "quillon:volume").Add(standin::CreateArray(mxSINGLE_CLASS, {8, 7, 6})).Scalar(4).Scalar(1);
  add("q matrix", quillon, 1, "quillon:size").Volume({12, 11}, slice).Scalar(4).Scalar(1);
  add("q sigma vector", quillon, 1, "quillon:sigma").Volume({8, 7, 6}, c).Volume({1, 2}, {1, 2}).Scalar(1);
  add("q NaN flag", quillon, 1, "quillon:rician").Volume({8, 7, 6}, c).Scalar(4).Scalar(kNaN);
  std::vector<double> bright(c);
  bright[17] = 2e8;
  add("q range", quillon, 1, "quillon:range").Volume({8, 7, 6}, bright).Scalar(4).Scalar(1);

  // The pipeline's guide: quillon's output for the first volume.
  std::vector<double> guide;
  {
    Args g;
    g.Volume({16, 14, 12}, a).Scalar(8).Scalar(1);
    const Result r = CallGateway(quillon, 1, g);
    ASSERT_TRUE(r.call.ok);
    guide = r.out[0];
  }
  // tessary(noisy, radius, extra, sigma, guide, rician)
  add("t pipeline", tessary, 1, "").Volume({16, 14, 12}, a).Scalar(2).Scalar(1).Scalar(8).Volume({16, 14, 12}, guide).Scalar(1);
  add("t self guided", tessary, 1, "").Volume({10, 9, 11}, b).Scalar(1).Scalar(1).Scalar(5).Volume({10, 9, 11}, b).Scalar(0);
  add("t one slice", tessary, 0, "").Volume({12, 11}, slice).Scalar(3).Scalar(2).Scalar(6).Volume({12, 11}, slice).Scalar(1);
  add("t nargin", tessary, 1, "tessary:nargin").Volume({8, 7, 6}, c).Scalar(1).Scalar(1).Scalar(4).Volume({8, 7, 6}, c);
  add("t nargout", tessary, 2, "tessary:nargout").Volume({8, 7, 6}, c).Scalar(1).Scalar(1).Scalar(4).Volume({8, 7, 6}, c).Scalar(1);
  add("t guide size", tessary, 1, "tessary:guideSize").Volume({8, 7, 6}, c).Scalar(1).Scalar(1).Scalar(4).Volume({10, 9, 11}, b).Scalar(1);
  add("t NaN sigma", tessary, 1, "tessary:sigma").Volume({8, 7, 6}, c).Scalar(1).Scalar(1).Scalar(kNaN).Volume({8, 7, 6}, c).Scalar(1);
  add("t huge radius", tessary, 1, "tessary:range").Volume({8, 7, 6}, c).Scalar(3e9).Scalar(1).Scalar(4).Volume({8, 7, 6}, c).Scalar(1);
  add("t complex radius", tessary, 1, "tessary:scalar").Volume({8, 7, 6}, c).Add(standin::CreateArray(mxDOUBLE_CLASS, {1, 1}, true)).Scalar(1).Scalar(4).Volume({8, 7, 6}, c).Scalar(1);
  add("t four dimensions", tessary, 1, "").Volume({8, 7, 6, 2}, four).Scalar(1).Scalar(1).Volume({1, 2}, {4, 5}).Volume({8, 7, 6, 2}, four).Scalar(1);
  add("t guide of one volume", tessary, 1, "tessary:guideSize").Volume({8, 7, 6, 2}, four).Scalar(1).Scalar(1).Scalar(4).Volume({8, 7, 6}, c).Scalar(1);

  const std::size_t arrays = standin::LiveArrays();
  const std::size_t blocks = standin::LiveBlocks();
  constexpr int kCalls = 600;
  constexpr int kWarmUp = 100;
  std::map<std::size_t, Result> first;
  std::mt19937 rng(8);
  long resident_after_warm_up = 0;
  int threads_after_warm_up = 0;
  int valid = 0, invalid = 0;
  for (int i = 0; i < kCalls; ++i) {
    if (i == kWarmUp) {
      resident_after_warm_up = ResidentKb();
      threads_after_warm_up = ThreadCount();
    }
    const std::size_t k = rng() % cases.size();
    const CallCase& cc = cases[k];
    Result r = CallGateway(cc.fn, cc.nlhs, *cc.args);
    ASSERT_EQ(standin::LiveArrays(), arrays) << cc.name;
    ASSERT_EQ(standin::LiveBlocks(), blocks) << cc.name;
    ASSERT_EQ(r.call.blocks_left, 0u) << cc.name;
    if (!cc.id.empty()) {
      ++invalid;
      ASSERT_FALSE(r.call.ok) << cc.name;
      ASSERT_EQ(r.call.id, cc.id) << cc.name << ": " << r.call.message;
      continue;
    }
    ++valid;
    ASSERT_TRUE(r.call.ok) << cc.name << ": " << r.call.id << ": " << r.call.message;
    const auto it = first.find(k);
    if (it == first.end())
      first.emplace(k, std::move(r));
    else
      ASSERT_TRUE(SameBits(r.out, it->second.out)) << cc.name << ", call " << i;
  }
  EXPECT_EQ(first.size(), 9u);  // every valid case was drawn
  const long resident_end = ResidentKb();
  EXPECT_EQ(ThreadCount(), threads_after_warm_up);
  EXPECT_TRUE(NoLeaks());
  std::printf("%d calls (%d valid, %d invalid); resident memory %ld kB after %d calls, %ld kB at the end\n",
              kCalls, valid, invalid, resident_after_warm_up, kWarmUp, resident_end);
  // A volume leaked by every valid call would add some 5 MB here; the
  // allocator's own variation stays far below the tolerance.
  if (kResidentMemoryIsMeaningful) {
    EXPECT_LE(resident_end - resident_after_warm_up, 4096);
  }
}

}  // namespace
}  // namespace reliability
