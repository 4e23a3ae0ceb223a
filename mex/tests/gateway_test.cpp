// The two filters' gateways called the way the host calls them, through the
// stand-in host: what both promise, tested once for each (FilterGateway),
// then what each alone does. Both gateways are in this program under their
// own names (quillon_mexFunction, tessary_mexFunction).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "filter_traits.h"
#include "gateway_calls.h"
#include "rician_flag.h"
#include "standin_host.h"
#include "threads.h"

extern "C" void quillon_mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
extern "C" void tessary_mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

namespace filtertest {
namespace {

using gatewaytest::Args;
using gatewaytest::CallGateway;
using gatewaytest::Result;
using testbits::SameBits;

std::vector<int> Dims(const Input& in) { return {in.rows, in.cols, in.slices}; }

// A refused call, and what its refusal must say.
struct BadCall {
  const char* id;
  std::function<Args()> args;
  int nlhs = 1;
  const char* says = "";  // a phrase of the message
  int nrhs = -1;          // fewer inputs than args holds; -1: all of them
};

mxArray* Logical(bool value) {
  mxArray* a = standin::CreateArray(mxLOGICAL_CLASS, {1, 1});
  *static_cast<unsigned char*>(mxGetData(a)) = value ? 1 : 0;
  return a;
}

struct QuillonGateway : Quillon {
  static constexpr standin::MexFunction kEntry = &quillon_mexFunction;
  static constexpr int kOutputs = 2;
  static int CoreFlag(double flag) { return static_cast<int>(flag); }

  // quillon(noisy, sigma, flag); the radius and the guide are not its inputs.
  static Args Of(mxArray* noisy, mxArray* sigma, mxArray* flag, mxArray* radius, mxArray* guide) {
    standin::Destroy(radius);
    standin::Destroy(guide);
    Args a;
    a.Add(noisy).Add(sigma).Add(flag);
    return a;
  }

  static std::vector<BadCall> BadCalls() {
    const Input v = Make(6, 6, 6, 1);
    auto with = [v](mxArray* noisy, mxArray* sigma, mxArray* flag) {
      return [=] {
        Args a;
        a.Add(noisy != nullptr ? noisy : standin::CreateDouble(Dims(v), v.noisy.data()))
            .Add(sigma != nullptr ? sigma : standin::CreateScalar(1))
            .Add(flag != nullptr ? flag : standin::CreateScalar(1));
        return a;
      };
    };
    auto twice = [v] {
      std::vector<double> both(v.noisy);
      both.insert(both.end(), v.noisy.begin(), v.noisy.end());
      return standin::CreateDouble({6, 6, 6, 2}, both.data());
    };
    const double two_nans[2] = {1, NAN}, negative_first[2] = {-1, 1}, three[3] = {1, 1, 1};
    return {
        {"quillon:nargin", with(nullptr, nullptr, nullptr), 1, "quillon(noisy, sigma, rician[, coils])", 2},
        {"quillon:nargin", [=] { Args a = with(nullptr, nullptr, nullptr)(); a.Scalar(1).Scalar(1); return a; }},
        {"quillon:coils", [=] { Args a = with(nullptr, nullptr, nullptr)(); a.Scalar(2.5); return a; }},
        {"quillon:nargout", with(nullptr, nullptr, nullptr), 3},
        {"quillon:volume", with(standin::CreateArray(mxSINGLE_CLASS, {6, 6, 6}), nullptr, nullptr)},
        {"quillon:volume", with(standin::CreateArray(mxDOUBLE_CLASS, {6, 6, 6}, true), nullptr, nullptr)},
        {"quillon:volume", with(standin::CreateSparse(6, 6), nullptr, nullptr)},
        {"quillon:volume", with(standin::CreateArray(mxCHAR_CLASS, {1, 4}), nullptr, nullptr)},
        {"quillon:sigma", with(nullptr, standin::CreateDouble({1, 2}), nullptr)},
        {"quillon:sigma", with(nullptr, standin::CreateDouble({0, 0}), nullptr)},
        {"quillon:sigma", with(nullptr, standin::CreateArray(mxDOUBLE_CLASS, {1, 1}, true), nullptr)},
        {"quillon:sigma", with(nullptr, standin::CreateArray(mxCHAR_CLASS, {1, 1}), nullptr)},
        {"quillon:sigma", with(nullptr, standin::CreateScalar(NAN), nullptr)},
        {"quillon:sigma", with(nullptr, standin::CreateScalar(INFINITY), nullptr)},
        {"quillon:sigma", with(nullptr, standin::CreateScalar(-0.5), nullptr)},
        // One sigma per volume: the count must match, and each is checked.
        {"quillon:sigma", with(twice(), standin::CreateDouble({1, 3}, three), nullptr)},
        {"quillon:sigma", with(twice(), standin::CreateDouble({2, 1}, two_nans), nullptr), 1, "for volume 2"},
        {"quillon:sigma", with(twice(), standin::CreateDouble({1, 2}, negative_first), nullptr)},
        // Sides of fewer than 4 voxels hold no block; a matrix is one slice.
        {"quillon:size", with(standin::CreateDouble({3, 6, 6}), nullptr, nullptr)},
        {"quillon:size", with(standin::CreateDouble({6, 2, 6, 2}), nullptr, nullptr)},
        {"quillon:size", with(standin::CreateDouble({64, 64, 3}), nullptr, nullptr), 1,
         "64x64x3: it has 3 slices, and quillon needs at least 4 rows, 4 columns and 4 slices"},
        {"quillon:size", with(standin::CreateDouble({6, 6}), nullptr, nullptr)},
        {"quillon:rician", with(nullptr, nullptr, standin::CreateArray(mxCHAR_CLASS, {1, 1}))},
        {"quillon:rician", with(nullptr, nullptr, standin::CreateArray(mxLOGICAL_CLASS, {1, 2}))},
        {"quillon:rician", with(nullptr, nullptr, standin::CreateScalar(NAN))},
        {"quillon:rician", with(nullptr, nullptr, standin::CreateScalar(3e9))},
        {"quillon:rician", with(nullptr, nullptr, standin::CreateScalar(-INFINITY))},
        // More than 2^31 - 1 voxels in the first three dimensions (no data: the fourth is 0).
        {"quillon:size", with(standin::CreateDouble({2000, 2000, 1000, 0}), nullptr, nullptr), 1,
         "denoisers.chunked"},
    };
  }
};

struct TessaryGateway : Tessary {
  static constexpr standin::MexFunction kEntry = &tessary_mexFunction;
  static constexpr int kOutputs = 1;
  static int CoreFlag(double flag) { return contract::RicianFlag(flag); }

  // tessary(noisy, radius, 7, sigma, guide, flag)
  static Args Of(mxArray* noisy, mxArray* sigma, mxArray* flag, mxArray* radius, mxArray* guide) {
    Args a;
    a.Add(noisy).Add(radius).Scalar(7).Add(sigma).Add(guide).Add(flag);
    return a;
  }

  static std::vector<BadCall> BadCalls() {
    const Input v = Make(4, 3, 2, 5);
    // The plain call's input k replaced.
    auto replaced = [v](int k, mxArray* replacement) {
      return [=] {
        Args a;
        a.Volume(Dims(v), v.noisy).Scalar(1).Scalar(7).Scalar(9).Volume(Dims(v), v.guide).Scalar(0);
        if (k >= 0) a.Replace(static_cast<std::size_t>(k), replacement);
        return a;
      };
    };
    const auto plain = replaced(-1, nullptr);
    return {
        {"tessary:volume", replaced(0, standin::CreateArray(mxDOUBLE_CLASS, {4, 3, 2}, true))},
        {"tessary:volume", replaced(0, standin::CreateArray(mxSINGLE_CLASS, {4, 3, 2}))},
        {"tessary:volume", replaced(0, standin::CreateSparse(4, 3))},
        {"tessary:guideSize", replaced(0, standin::CreateDouble({4, 3, 2, 2})), 1, "4x3x2x2, got 4x3x2."},
        {"tessary:volume", replaced(0, standin::CreateArray(mxCHAR_CLASS, {4, 3, 2}))},
        {"tessary:scalar", replaced(1, standin::CreateDouble({1, 2}))},
        {"tessary:scalar", replaced(1, standin::CreateArray(mxCHAR_CLASS, {1, 1}))},
        {"tessary:range", replaced(1, standin::CreateScalar(3e9))},
        {"tessary:range", replaced(1, standin::CreateScalar(NAN))},
        {"tessary:range", replaced(2, standin::CreateScalar(-2147483649.0))},
        {"tessary:scalar", replaced(3, standin::CreateArray(mxDOUBLE_CLASS, {1, 1}, true))},
        {"tessary:sigma", replaced(3, standin::CreateScalar(NAN))},
        {"tessary:sigma", replaced(3, standin::CreateScalar(-INFINITY))},
        {"tessary:scalar", replaced(3, standin::CreateDouble({1, 2}))},
        {"tessary:scalar", replaced(3, standin::CreateArray(mxLOGICAL_CLASS, {1, 2}))},
        {"tessary:scalar", replaced(5, standin::CreateArray(mxCHAR_CLASS, {1, 1}))},
        {"tessary:guide", replaced(4, standin::CreateArray(mxINT32_CLASS, {4, 3, 2}))},
        {"tessary:guideSize", replaced(4, standin::CreateDouble({3, 4, 2}))},
        {"tessary:guideSize", replaced(4, standin::CreateDouble({4, 3}))},
        {"tessary:scalar", replaced(5, standin::CreateDouble({0, 0}))},
        {"tessary:range", replaced(5, standin::CreateScalar(2147483648.0))},
        // Wrong counts: fewer, none, an eighth input, two outputs.
        {"tessary:nargin", plain, 1, "tessary(noisy, radius, extra, sigma, guide, rician[, coils])", 5},
        {"tessary:nargin", plain, 1, "", 0},
        {"tessary:nargin", [=] { Args a = plain(); a.Scalar(1).Scalar(1); return a; }},
        {"tessary:coils", [=] { Args a = plain(); a.Scalar(65); return a; }},
        {"tessary:nargout", plain, 2},
    };
  }
};

template <class G>
class FilterGateway : public ::testing::Test {
 protected:
  // The call of G on `in` with these numbers as its scalars.
  static Args Plain(const Input& in, double sigma, double flag, double radius = 2.0) {
    return G::Of(standin::CreateDouble(Dims(in), in.noisy.data()), standin::CreateScalar(sigma),
                 standin::CreateScalar(flag), standin::CreateScalar(radius),
                 in.guide.empty() ? nullptr : standin::CreateDouble(Dims(in), in.guide.data()));
  }
};
using Gateways = ::testing::Types<QuillonGateway, TessaryGateway>;
TYPED_TEST_SUITE(FilterGateway, Gateways);

TYPED_TEST(FilterGateway, BadCallsRaiseIdentifiedErrorsAndLeaveNothingBehind) {
  const std::size_t arrays_before = standin::LiveArrays();
  const std::size_t blocks_before = standin::LiveBlocks();
  for (const BadCall& c : TypeParam::BadCalls()) {
    Args args = c.args();
    const Result o = CallGateway(TypeParam::kEntry, c.nlhs, args, c.nrhs);
    EXPECT_FALSE(o.call.ok) << c.id;
    EXPECT_EQ(o.call.id, c.id) << o.call.message;
    EXPECT_FALSE(o.call.message.empty()) << c.id;
    EXPECT_NE(o.call.message.find(c.says), std::string::npos) << o.call.message;
    EXPECT_EQ(o.call.blocks_left, 0u) << c.id;
    EXPECT_EQ(o.call.arrays_left, 0u) << c.id;  // checks come before any allocation
    EXPECT_TRUE(o.all_outputs_null) << c.id;
  }
  EXPECT_EQ(standin::LiveArrays(), arrays_before);  // the inputs went with their calls
  EXPECT_EQ(standin::LiveBlocks(), blocks_before);
}

// Every output is the core's on the same doubles, with the flag narrowed
// and the radius truncated as the gateway does; the scratch goes back
// before the call returns. With no output asked for, the call still works.
TYPED_TEST(FilterGateway, ResultIsTheCoreResult) {
  const Input v = TypeParam::Make(9, 8, 10, 1);
  for (double flag : {0.0, 1.0, 256.0, -1.0}) {
    Args args = this->Plain(v, TypeParam::kSigma, flag, 2.9);
    const std::size_t arrays_before = standin::LiveArrays();
    const Result o = CallGateway(TypeParam::kEntry, TypeParam::kOutputs, args);
    ASSERT_TRUE(o.call.ok) << o.call.id << ": " << o.call.message;
    const Outcome core =
        TypeParam::Run(v, TypeParam::kSigma, TypeParam::CoreFlag(flag), {.radius = 2});
    ASSERT_EQ(o.out.size(), core.out.size());
    for (std::size_t k = 0; k < core.out.size(); ++k) {
      EXPECT_EQ(o.dims[k], Dims(v));
      EXPECT_TRUE(SameBits(o.out[k], core.out[k])) << "flag " << flag << ", output " << k;
    }
    if (o.out.size() == 2) {
      EXPECT_FALSE(SameBits(o.out[0], o.out[1]));
    }
    EXPECT_EQ(o.call.arrays_left, 0u);
    EXPECT_EQ(o.call.blocks_left, 0u);
    EXPECT_EQ(o.call.printed, "");
    EXPECT_EQ(standin::LiveArrays(), arrays_before);
  }
  Args args = this->Plain(v, TypeParam::kSigma, 1.0);
  EXPECT_TRUE(CallGateway(TypeParam::kEntry, 0, args).call.ok);
}

// An empty array comes back empty, in its own shape.
TYPED_TEST(FilterGateway, EmptyVolumeGivesAnEmptyResultOfItsShape) {
  Args args = TypeParam::Of(standin::CreateDouble({0, 5, 5}), standin::CreateScalar(1),
                            standin::CreateScalar(1), standin::CreateScalar(2),
                            standin::CreateDouble({0, 5, 5}));
  const Result o = CallGateway(TypeParam::kEntry, TypeParam::kOutputs, args);
  ASSERT_TRUE(o.call.ok) << o.call.id << ": " << o.call.message;
  for (const std::vector<int>& dims : o.dims) EXPECT_EQ(dims, (std::vector<int>{0, 5, 5}));
  EXPECT_EQ(o.call.arrays_left, 0u);
}

// Each volume of a series (with its own guide volume) comes out as the call
// on that volume alone gives it, in every output (quillon's own largest
// value sizing each volume's table), with one sigma for all volumes or one
// each, along the fourth or a later dimension; sigma 0 gives that volume
// back, under either noise model.
TYPED_TEST(FilterGateway, EachVolumeOfASeriesIsDenoisedAsIfAlone) {
  std::vector<Input> volumes = {TypeParam::Make(9, 8, 7, 1), TypeParam::Make(9, 8, 7, 2, 300.0),
                                TypeParam::Make(9, 8, 7, 3)};
  volumes[2].noisy[5] = -4.0;
  std::vector<double> noisy, guide;
  for (const Input& v : volumes) {
    noisy.insert(noisy.end(), v.noisy.begin(), v.noisy.end());
    guide.insert(guide.end(), v.guide.begin(), v.guide.end());
  }
  struct Shape {
    std::vector<int> dims, sigma_dims;
    std::vector<double> sigma;
  };
  const double s = TypeParam::kSigma;
  const Shape shapes[] = {{{9, 8, 7, 3}, {1, 1}, {s}},
                          {{9, 8, 7, 3}, {1, 3}, {s, 0.6 * s, 0}},
                          {{9, 8, 7, 1, 3}, {3, 1}, {0, 0.3 * s, s}}};
  for (double flag : {1.0, 0.0}) {
    for (const Shape& shape : shapes) {
      Args args = TypeParam::Of(
          standin::CreateDouble(shape.dims, noisy.data()),
          standin::CreateDouble(shape.sigma_dims, shape.sigma.data()), standin::CreateScalar(flag),
          standin::CreateScalar(2), guide.empty() ? nullptr : standin::CreateDouble(shape.dims, guide.data()));
      const Result o = CallGateway(TypeParam::kEntry, TypeParam::kOutputs, args);
      ASSERT_TRUE(o.call.ok) << o.call.id << ": " << o.call.message;
      EXPECT_EQ(o.call.arrays_left, 0u);
      const std::size_t n = volumes[0].size();
      for (std::size_t k = 0; k < volumes.size(); ++k) {
        const double sigma = shape.sigma[shape.sigma.size() == 1 ? 0 : k];
        const Outcome alone = TypeParam::Run(volumes[k], sigma, TypeParam::CoreFlag(flag));
        for (std::size_t out = 0; out < o.out.size(); ++out) {
          EXPECT_EQ(o.dims[out], shape.dims);
          const std::vector<double> part(o.out[out].begin() + k * n, o.out[out].begin() + (k + 1) * n);
          EXPECT_TRUE(SameBits(part, alone.out[out])) << "volume " << k << ", output " << out;
          if (sigma == 0.0) {
            EXPECT_TRUE(SameBits(part, volumes[k].noisy)) << "volume " << k;
          }
        }
      }
    }
  }
}

// Logical and integer scalars read as the host reads them (true is 1), and
// a flag as its truncation.
TYPED_TEST(FilterGateway, LogicalAndIntegerScalarsAreNumbers) {
  const Input v = TypeParam::Make(9, 8, 7, 4);
  auto call = [&](mxArray* sigma, mxArray* flag, mxArray* radius) {
    Args args = TypeParam::Of(standin::CreateDouble(Dims(v), v.noisy.data()), sigma, flag, radius,
                              v.guide.empty() ? nullptr : standin::CreateDouble(Dims(v), v.guide.data()));
    return CallGateway(TypeParam::kEntry, 1, args);
  };
  const Result plain = call(standin::CreateScalar(1), standin::CreateScalar(1), standin::CreateScalar(1));
  ASSERT_TRUE(plain.call.ok);
  const Result logical = call(Logical(true), Logical(true), Logical(true));
  ASSERT_TRUE(logical.call.ok) << logical.call.id;
  EXPECT_TRUE(SameBits(logical.out, plain.out));
  mxArray* sigma = standin::CreateArray(mxINT32_CLASS, {1, 1});
  *static_cast<int32_t*>(mxGetData(sigma)) = 1;
  mxArray* radius = standin::CreateArray(mxINT16_CLASS, {1, 1});
  *static_cast<int16_t*>(mxGetData(radius)) = 1;
  const Result integer = call(sigma, standin::CreateScalar(1.7), radius);
  ASSERT_TRUE(integer.call.ok) << integer.call.id;
  EXPECT_TRUE(SameBits(integer.out, plain.out));
}

// Whichever start fails, in any pass, the call prints the host's line,
// waits for the workers already running, hands back everything but its
// output (which the host reclaims), and leaves the next call unharmed.
TYPED_TEST(FilterGateway, AWorkerThatCannotStartEndsTheCallNotTheProcess) {
  const Input v = TypeParam::Make(16, 12, 14, 8);
  Args args = this->Plain(v, TypeParam::kSigma, 1.0, 3.0);
  const Result good = CallGateway(TypeParam::kEntry, 1, args);
  ASSERT_TRUE(good.call.ok);
  const std::size_t blocks_before = standin::LiveBlocks();
  const std::size_t arrays_before = standin::LiveArrays();
  for (int k = 0; k < TypeParam::kPasses * testbits::StartsOfAPass(8); ++k) {
    platform::FailThreadStartAfter(k);
    const Result o = CallGateway(TypeParam::kEntry, 1, args);
    platform::FailThreadStartAfter(-1);
    EXPECT_FALSE(o.call.ok) << "start " << k;
    EXPECT_EQ(o.call.id, std::string(TypeParam::kName) + ":threads") << "start " << k;
    EXPECT_EQ(o.call.printed, "Threads cannot be created\n") << "start " << k;
    EXPECT_EQ(o.call.arrays_left, 1u) << "start " << k;  // the result; the scratch went back
    EXPECT_EQ(o.call.blocks_left, 0u) << "start " << k;
    EXPECT_TRUE(o.all_outputs_null) << "start " << k;
    EXPECT_EQ(standin::LiveBlocks(), blocks_before) << "start " << k;
    EXPECT_EQ(standin::LiveArrays(), arrays_before) << "start " << k;
  }
  const Result again = CallGateway(TypeParam::kEntry, 1, args);
  ASSERT_TRUE(again.call.ok);
  EXPECT_TRUE(SameBits(again.out, good.out));
}

// quillon alone: a value too large for the Rician table is refused at once,
// before any array is made (a table of eight million entries is seconds of
// work for a 125-voxel volume); without Rician noise there is no table.
TEST(QuillonGatewayAlone, TooLargeAValueForTheBiasTableIsRefusedBeforeAllocating) {
  Input v = Quillon::Make(5, 5, 5, 2);
  v.noisy[62] = 4194304.5;
  for (double flag : {1.0, 0.0}) {
    Args args = QuillonGateway::Of(standin::CreateDouble(Dims(v), v.noisy.data()),
                                   standin::CreateScalar(2), standin::CreateScalar(flag), nullptr,
                                   nullptr);
    const Result o = CallGateway(&quillon_mexFunction, 1, args);
    if (flag > 0) {
      EXPECT_EQ(o.call.id, "quillon:range");
      EXPECT_NE(o.call.message.find("scale the volume (and sigma) down"), std::string::npos);
      EXPECT_EQ(o.call.arrays_left, 0u);
    } else {
      EXPECT_TRUE(o.call.ok);
    }
  }
}

// tessary alone takes any side: the host drops trailing singletons, so one
// slice arrives as a matrix.
TEST(TessaryGatewayAlone, OneSliceMatrix) {
  const Input v = Tessary::Make(6, 5, 1, 3);
  Args args = TessaryGateway::Of(standin::CreateDouble(Dims(v), v.noisy.data()),
                                 standin::CreateScalar(12), standin::CreateScalar(0),
                                 standin::CreateScalar(2), standin::CreateDouble(Dims(v), v.guide.data()));
  ASSERT_EQ(standin::Dimensions(args.in[0]).size(), 2u);
  const Result o = CallGateway(&tessary_mexFunction, 1, args);
  ASSERT_TRUE(o.call.ok) << o.call.id << ": " << o.call.message;
  EXPECT_EQ(o.dims[0], (std::vector<int>{6, 5}));
  EXPECT_TRUE(SameBits(o.out[0], Tessary::Run(v, 12.0, 0, {.radius = 2}).out[0]));
}

// The limit check comes before the guide is looked at, so a single array of
// 2^31 voxels is enough; the host only reserves its storage.
TEST(TessaryGatewayAlone, TooManyVoxels) {
  mxArray* huge = standin::CreateDouble({2048, 1024, 1024});
  if (huge == nullptr) GTEST_SKIP() << "the host cannot reserve a volume of 2^31 voxels";
  Args args = TessaryGateway::Of(huge, standin::CreateScalar(9), standin::CreateScalar(0),
                                 standin::CreateScalar(1), standin::CreateScalar(1));
  const Result o = CallGateway(&tessary_mexFunction, 1, args);
  EXPECT_EQ(o.call.id, "tessary:size");
  EXPECT_NE(o.call.message.find("denoisers.chunked"), std::string::npos) << o.call.message;
  EXPECT_EQ(o.call.arrays_left, 0u);
}

}  // namespace
}  // namespace filtertest
