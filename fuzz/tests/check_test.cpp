// The rules of a call hold for a well-behaved gateway, and each kind of
// misbehaviour the fuzzers hunt for is caught.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "arg_decoder.h"
#include "gateway_check.h"

namespace fuzzargs {
namespace {

enum class Fault { kNone, kWrongShape, kForeignId, kWritesInput, kVaries, kLeavesThread, kLeavesBlock };
Fault fault = Fault::kNone;
int calls = 0;

// Returns a copy of input 1's shape filled with ones; refuses anything that
// is not a double array with "fake:volume".
void Fake(int, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  ++calls;
  if (nrhs < 1 || !mxIsDouble(prhs[0])) mexErrMsgIdAndTxt("fake:volume", "not a volume");
  const int n = mxGetNumberOfDimensions_700(prhs[0]);
  const int one[2] = {1, 1};
  const bool wrong = fault == Fault::kWrongShape;
  mxArray* out = mxCreateNumericArray_700(wrong ? 2 : n, wrong ? one : mxGetDimensions_700(prhs[0]),
                                          mxDOUBLE_CLASS, mxREAL);
  plhs[0] = out;
  double* p = mxGetPr(out);
  for (std::size_t i = 0; i < mxGetNumberOfElements(out); ++i) p[i] = 1.0;
  switch (fault) {
    case Fault::kForeignId: mexErrMsgIdAndTxt("other:volume", "not mine");
    case Fault::kWritesInput: mxGetPr(prhs[0])[0] = 2.0; break;
    case Fault::kVaries: p[0] = calls; break;
    case Fault::kLeavesThread: std::thread([] { std::this_thread::sleep_for(std::chrono::seconds(2)); }).detach(); break;
    case Fault::kLeavesBlock: mxMalloc(8); break;
    default: break;
  }
}

const char* const kFakeWhats[] = {"volume", nullptr};
const char* const kNone[] = {nullptr};
const contract::Signature kFakeSignature{"fake", 1, 1, "fake(x)", "[y]", kFakeWhats, kNone};
const Gateway kFake{kFakeSignature, &Fake};

std::vector<std::uint8_t> Volume() {
  Encoder e(1, 1);
  e.Explicit(Kind::kDouble, {3, 4, 2}, Fill::kConstant, {ValueByte(1.0)});
  return e.bytes();
}

void Check(Fault f, const std::vector<std::uint8_t>& bytes) {
  fault = f;
  CheckOneCall(kFake, bytes.data(), bytes.size());
  fault = Fault::kNone;
}

TEST(CallRules, AWellBehavedGatewayKeepsThem) {
  Check(Fault::kNone, Volume());
  Encoder text(1, 1);
  text.Explicit(Kind::kChar, {1, 5}, Fill::kConstant, {ValueByte(100.0)});
  Check(Fault::kNone, text.bytes());  // refused with its own identifier
  Check(Fault::kNone, {});            // no inputs: refused too
}

TEST(CallRulesDeathTest, EachMisbehaviourAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto v = Volume();
  EXPECT_DEATH(Check(Fault::kWrongShape, v), "not the dimensions its input 1 asks for");
  // A gateway of one value per volume may not return input 1's shape.
  const Gateway series{kFakeSignature, &Fake, Outputs::kRowPerVolume};
  EXPECT_DEATH(CheckOneCall(series, v.data(), v.size()), "not the dimensions its input 1 asks for");
  EXPECT_DEATH(Check(Fault::kForeignId, v), "not one of fake's");
  EXPECT_DEATH(Check(Fault::kWritesInput, v), "changed an input");
  EXPECT_DEATH(Check(Fault::kVaries, v), "differs between two equal calls");
  EXPECT_DEATH(Check(Fault::kLeavesThread, v), "outlived the call");
  EXPECT_DEATH(Check(Fault::kLeavesBlock, v), "left host blocks behind");
  Encoder many(2, 1);
  many.Explicit(Kind::kDouble, {3, 4, 2}, Fill::kConstant, {ValueByte(1.0)});
  EXPECT_DEATH(Check(Fault::kNone, many.bytes()), "more outputs than the gateway returns");
}

}  // namespace
}  // namespace fuzzargs
