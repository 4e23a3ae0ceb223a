// The decoder: any bytes give a call within the limits, and the encoder's
// bytes give the call it describes.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "arg_decoder.h"

namespace fuzzargs {
namespace {

double Elements(const std::vector<int>& dims) {
  double n = 1;
  for (int d : dims) n *= d;
  return n;
}

TEST(Decoder, AnyBytesGiveACallWithinTheLimits) {
  std::mt19937 rng(8);
  const Limits limits{1000};
  for (int k = 0; k < 3000; ++k) {
    std::vector<std::uint8_t> bytes(rng() % 300);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    const CallSpec c = Decode(bytes.data(), bytes.size(), limits);
    ASSERT_GE(c.nlhs, 0);
    ASSERT_LE(c.nlhs, 3);
    ASSERT_LE(c.args.size(), 8u);
    ASSERT_TRUE(c.fault == kNoFault || (c.fault >= 0 && c.fault < 24));
    for (const ArgSpec& a : c.args) {
      ASSERT_LE(a.dims.size(), 5u);
      const double n = Elements(a.dims);
      ASSERT_TRUE(n <= 1000 || n == 0) << Describe(c);
      const bool holds_values = a.kind != Kind::kCell && a.kind != Kind::kStruct && a.kind != Kind::kSparse;
      ASSERT_EQ(a.re.size(), holds_values ? static_cast<std::size_t>(n) : 0u);
      ASSERT_EQ(a.im.size(), a.complex ? a.re.size() : 0u);
      if (a.complex) {
        ASSERT_LE(a.kind, Kind::kUint64);
      }
    }
  }
}

TEST(Decoder, NoBytesIsACallWithoutArguments) {
  const CallSpec c = Decode(nullptr, 0);
  EXPECT_EQ(c.nlhs, 0);
  EXPECT_TRUE(c.args.empty());
  EXPECT_EQ(c.fault, kNoFault);
}

TEST(Decoder, EncodedCallsDecodeToWhatTheyDescribe) {
  Encoder e(2, 4, 13);
  e.Explicit(Kind::kDouble, {9, 7, 1000, 0}, Fill::kEach, {})  // no elements: no value bytes
      .Scalar(Kind::kInt32, std::numeric_limits<double>::quiet_NaN())
      .LikeFirstChanged(Kind::kSingle, 1, 65536, Fill::kRamp, {ValueByte(10.0), 24})
      .LikeFirst(Kind::kUint8, Fill::kPhantom, {1, ValueByte(100.0)});
  const CallSpec c = Decode(e.bytes().data(), e.bytes().size());
  EXPECT_EQ(c.nlhs, 2);
  EXPECT_EQ(c.fault, 13);
  ASSERT_EQ(c.args.size(), 4u);
  EXPECT_EQ(c.args[0].dims, (std::vector<int>{9, 7, 1000, 0}));  // empty: not clamped
  EXPECT_TRUE(c.args[0].re.empty());
  EXPECT_EQ(c.args[1].kind, Kind::kInt32);
  EXPECT_EQ(c.args[1].dims, (std::vector<int>{1, 1}));
  ASSERT_EQ(c.args[1].re.size(), 1u);
  EXPECT_TRUE(std::isnan(c.args[1].re[0]));
  // 9 x 65536 x 1000 x 0 is still empty; the third input copies the first.
  EXPECT_EQ(c.args[2].dims, (std::vector<int>{9, 65536, 1000, 0}));
  EXPECT_EQ(c.args[3].dims, c.args[0].dims);

  Encoder ramp(1, 1);
  ramp.Explicit(Kind::kDouble, {4, 3}, Fill::kRamp, {ValueByte(10.0), 24});  // step (24 - 8) / 64
  const CallSpec r = Decode(ramp.bytes().data(), ramp.bytes().size());
  ASSERT_EQ(r.args[0].re.size(), 12u);
  EXPECT_EQ(r.args[0].re[0], 10.0);
  EXPECT_EQ(r.args[0].re[11], 10.0 + 11 * 0.25);
  EXPECT_EQ(r.fault, kNoFault);
}

TEST(Decoder, LargeArraysAreHalvedToTheLimit) {
  Encoder e(1, 1);
  e.Explicit(Kind::kDouble, {4096, 4096, 4096, 1000000, 2147483647}, Fill::kConstant, {0});
  const CallSpec c = Decode(e.bytes().data(), e.bytes().size());
  const double n = Elements(c.args[0].dims);
  EXPECT_LE(n, 4096);
  EXPECT_GT(n, 4096 / 32);  // halving one extent at a time stops near the limit
}

TEST(Decoder, EmptySparseMatricesStaySmallForTheHost) {
  Encoder e(1, 1);
  e.Explicit(Kind::kSparse, {0, 2000000000}, Fill::kConstant, {0});
  const CallSpec c = Decode(e.bytes().data(), e.bytes().size());
  EXPECT_EQ(c.args[0].dims, (std::vector<int>{0, 4096}));
}

TEST(Decoder, EveryValueByteIsQuickForTheBiasTable) {
  // Volume values between 1000 and quillon's refusal limit would make a
  // Rician call build a table of millions of entries.
  for (int b = 0; b < 256; ++b) {
    const double v = ValueOf(static_cast<std::uint8_t>(b));
    EXPECT_FALSE(v > 1000.0 && v <= 134217727.5) << b << ": " << v;
  }
}

TEST(Inputs, ValuesAreStoredAsTheHostWouldConvertThem) {
  CallSpec c;
  auto add = [&](Kind kind, std::vector<double> values) {
    ArgSpec a;
    a.kind = kind;
    a.dims = {1, static_cast<int>(values.size())};
    a.re = std::move(values);
    c.args.push_back(a);
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  add(Kind::kInt8, {1e300, -1e300, nan, -3.7});
  add(Kind::kUint16, {-1.0, 70000.0, 2.9, nan});
  add(Kind::kInt64, {9.3e18, -9.3e18, 5.0, 0.0});
  add(Kind::kSingle, {DBL_MAX, -DBL_MAX, 0.5, nan});
  add(Kind::kLogical, {nan, 0.0, -0.0, 2.0});
  Inputs in(c);
  const auto* i8 = static_cast<const std::int8_t*>(mxGetData(in.at(0)));
  EXPECT_EQ(std::vector<int>(i8, i8 + 4), (std::vector<int>{127, -128, 0, -3}));
  const auto* u16 = static_cast<const std::uint16_t*>(mxGetData(in.at(1)));
  EXPECT_EQ(std::vector<int>(u16, u16 + 4), (std::vector<int>{0, 65535, 2, 0}));
  const auto* i64 = static_cast<const std::int64_t*>(mxGetData(in.at(2)));
  EXPECT_EQ(i64[0], std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(i64[1], std::numeric_limits<std::int64_t>::min());
  const auto* f = static_cast<const float*>(mxGetData(in.at(3)));
  EXPECT_TRUE(std::isinf(f[0]) && f[0] > 0);
  EXPECT_TRUE(std::isinf(f[1]) && f[1] < 0);
  EXPECT_EQ(f[2], 0.5f);
  const auto* l = static_cast<const std::uint8_t*>(mxGetData(in.at(4)));
  EXPECT_EQ(std::vector<int>(l, l + 4), (std::vector<int>{1, 0, 0, 1}));
}

TEST(Inputs, SnapshotSeesAChangedElement) {
  Encoder e(1, 2);
  e.Explicit(Kind::kDouble, {3, 3}, Fill::kConstant, {ValueByte(2.0)}, true).Explicit(Kind::kSparse, {4, 5}, Fill::kConstant, {0});
  const CallSpec c = Decode(e.bytes().data(), e.bytes().size());
  Inputs in(c);
  ASSERT_TRUE(mxIsSparse(in.at(1)));
  const std::vector<std::uint8_t> before = in.Snapshot();
  mxGetPi(in.at(0))[8] = 3.0;
  EXPECT_NE(in.Snapshot(), before);
}

}  // namespace
}  // namespace fuzzargs
