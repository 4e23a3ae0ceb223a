#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "standin_host.h"

namespace {

using standin::Call;
using standin::CallResult;
using standin::Dimensions;

std::vector<int> CreatedDims(std::vector<int> dims) {
  mxArray* a = mxCreateNumericArray_700(static_cast<int>(dims.size()), dims.data(),
                                        mxDOUBLE_CLASS, mxREAL);
  std::vector<int> out = Dimensions(a);
  mxDestroyArray(a);
  return out;
}

TEST(StandinArrays, ShapesArePaddedToTwoAndLoseTrailingSingletons) {
  EXPECT_EQ(CreatedDims({}), (std::vector<int>{1, 1}));
  EXPECT_EQ(CreatedDims({5}), (std::vector<int>{5, 1}));
  EXPECT_EQ(CreatedDims({1, 1}), (std::vector<int>{1, 1}));
  EXPECT_EQ(CreatedDims({3, 4, 1, 1}), (std::vector<int>{3, 4}));
  EXPECT_EQ(CreatedDims({1, 1, 1}), (std::vector<int>{1, 1}));
  EXPECT_EQ(CreatedDims({3, 1, 5, 1}), (std::vector<int>{3, 1, 5}));
  EXPECT_EQ(CreatedDims({2, 3, 4, 5}), (std::vector<int>{2, 3, 4, 5}));
  EXPECT_EQ(CreatedDims({3, -2, 4}), (std::vector<int>{3, 0, 4}));
  mxArray* none = mxCreateNumericArray_700(0, nullptr, mxDOUBLE_CLASS, mxREAL);
  EXPECT_EQ(Dimensions(none), (std::vector<int>{1, 1}));
  mxDestroyArray(none);
}

TEST(StandinArrays, DataIsZeroedAndSizedByClass) {
  const int dims[3] = {2, 3, 4};
  mxArray* a = mxCreateNumericArray_700(3, dims, mxDOUBLE_CLASS, mxCOMPLEX);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(mxGetNumberOfElements(a), 24u);
  EXPECT_EQ(mxGetNumberOfDimensions_700(a), 3);
  EXPECT_TRUE(mxIsComplex(a));
  ASSERT_NE(mxGetPi(a), nullptr);
  for (int i = 0; i < 24; ++i) {
    EXPECT_EQ(mxGetPr(a)[i], 0.0);
    EXPECT_EQ(mxGetPi(a)[i], 0.0);
  }
  mxDestroyArray(a);

  const int empty[2] = {0, 7};
  mxArray* e = mxCreateNumericArray_700(2, empty, mxUINT16_CLASS, mxREAL);
  EXPECT_EQ(mxGetNumberOfElements(e), 0u);
  EXPECT_EQ(mxGetElementSize(e), 2u);
  EXPECT_EQ(mxGetPi(e), nullptr);
  mxDestroyArray(e);

  mxArray* s = standin::CreateSparse(4, 5);
  EXPECT_TRUE(mxIsSparse(s));
  EXPECT_TRUE(mxIsDouble(s));
  EXPECT_EQ(mxGetNumberOfElements(s), 20u);
  EXPECT_EQ(mxGetScalar(s), 0.0);
  standin::Destroy(s);
}

TEST(StandinArrays, ClassificationFollowsTheClass) {
  struct Case {
    mxClassID cls;
    bool numeric;
  };
  for (Case c : {Case{mxDOUBLE_CLASS, true}, Case{mxSINGLE_CLASS, true}, Case{mxINT8_CLASS, true},
                 Case{mxUINT64_CLASS, true}, Case{mxLOGICAL_CLASS, false},
                 Case{mxCHAR_CLASS, false}, Case{mxCELL_CLASS, false},
                 Case{mxSTRUCT_CLASS, false}}) {
    mxArray* a = standin::CreateArray(c.cls, {2, 2});
    ASSERT_NE(a, nullptr) << c.cls;
    EXPECT_EQ(mxIsNumeric(a), c.numeric) << c.cls;
    EXPECT_EQ(mxIsDouble(a), c.cls == mxDOUBLE_CLASS) << c.cls;
    EXPECT_EQ(mxIsLogical(a), c.cls == mxLOGICAL_CLASS) << c.cls;
    EXPECT_EQ(mxIsChar(a), c.cls == mxCHAR_CLASS) << c.cls;
    EXPECT_EQ(standin::ClassOf(a), c.cls);
    EXPECT_FALSE(mxIsSparse(a));
    standin::Destroy(a);
  }
  // Only numeric classes may be complex, and mxCreateNumericArray makes no cells.
  EXPECT_EQ(standin::CreateArray(mxCHAR_CLASS, {1, 1}, true), nullptr);
  const int one[2] = {1, 1};
  EXPECT_EQ(mxCreateNumericArray_700(2, one, mxCELL_CLASS, mxREAL), nullptr);
}

template <typename T>
double ScalarOf(mxClassID cls, T value) {
  mxArray* a = standin::CreateArray(cls, {1, 3});
  std::memcpy(mxGetData(a), &value, sizeof value);
  const double out = mxGetScalar(a);
  standin::Destroy(a);
  return out;
}

TEST(StandinArrays, ScalarConvertsElementZeroOfEveryClass) {
  EXPECT_EQ(ScalarOf(mxDOUBLE_CLASS, -2.5), -2.5);
  EXPECT_EQ(ScalarOf(mxSINGLE_CLASS, 1.5f), 1.5);
  EXPECT_EQ(ScalarOf(mxINT8_CLASS, std::int8_t{-5}), -5.0);
  EXPECT_EQ(ScalarOf(mxUINT8_CLASS, std::uint8_t{250}), 250.0);
  EXPECT_EQ(ScalarOf(mxINT16_CLASS, std::int16_t{-30000}), -30000.0);
  EXPECT_EQ(ScalarOf(mxUINT16_CLASS, std::uint16_t{65535}), 65535.0);
  EXPECT_EQ(ScalarOf(mxINT32_CLASS, std::int32_t{-2000000000}), -2e9);
  EXPECT_EQ(ScalarOf(mxUINT32_CLASS, std::uint32_t{4000000000u}), 4e9);
  EXPECT_EQ(ScalarOf(mxINT64_CLASS, std::int64_t{-(std::int64_t{1} << 40)}), -std::ldexp(1.0, 40));
  EXPECT_EQ(ScalarOf(mxUINT64_CLASS, std::uint64_t{1} << 63), std::ldexp(1.0, 63));
  EXPECT_EQ(ScalarOf(mxLOGICAL_CLASS, std::uint8_t{1}), 1.0);
  EXPECT_EQ(ScalarOf(mxCHAR_CLASS, std::uint16_t{'A'}), 65.0);

  mxArray* empty = standin::CreateDouble({0, 3});
  EXPECT_EQ(mxGetScalar(empty), 0.0);
  standin::Destroy(empty);
  mxArray* s = mxCreateDoubleScalar(7.25);
  EXPECT_EQ(mxGetScalar(s), 7.25);
  mxDestroyArray(s);
}

TEST(StandinArrays, CreateDoubleCopiesColumnMajorData) {
  const double values[6] = {1, 2, 3, 4, 5, 6};
  mxArray* a = standin::CreateDouble({2, 3}, values);
  EXPECT_EQ(Dimensions(a), (std::vector<int>{2, 3}));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(mxGetPr(a)[i], values[i]);
  standin::Destroy(a);
}

TEST(StandinArrays, LibrariesCarryTheHostSonames) {
  // Already loaded through linking, so only the exact soname finds them.
  for (const char* name : {"libmx.so", "libmex.so", "libmat.so"}) {
    void* handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(handle, nullptr) << name;
    if (handle) dlclose(handle);
  }
  EXPECT_EQ(matStandinPresent(), 1);
}

TEST(StandinMemory, BlocksAreZeroedTrackedAndFreed) {
  const std::size_t before = standin::LiveBlocks();
  auto* p = static_cast<unsigned char*>(mxMalloc(1000));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(p[i], 0);
  EXPECT_EQ(standin::LiveBlocks(), before + 1);
  mxFree(nullptr);
  EXPECT_EQ(standin::LiveBlocks(), before + 1);
  mxFree(p);
  EXPECT_EQ(standin::LiveBlocks(), before);
  // Outside a call an impossible request returns null instead of raising.
  EXPECT_EQ(mxMalloc(std::numeric_limits<std::size_t>::max()), nullptr);
}

TEST(StandinMemory, ConcurrentAllocationKeepsCountsExact) {
  const std::size_t before = standin::LiveBlocks();
  const std::size_t arrays = standin::LiveArrays();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 2000; ++i) {
        void* p = mxMalloc(16);
        mxArray* a = standin::CreateScalar(i);
        mxFree(p);
        standin::Destroy(a);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(standin::LiveBlocks(), before);
  EXPECT_EQ(standin::LiveArrays(), arrays);
}

// Gateways used by the call tests.

void LeakyGateway(int, mxArray* plhs[], int, const mxArray* prhs[]) {
  mxMalloc(10);
  mxMalloc(20);
  mxFree(mxMalloc(30));
  mxCreateDoubleScalar(1);  // leaked
  mxDestroyArray(mxCreateDoubleScalar(2));
  plhs[0] = mxDuplicateArray(prhs[0]);
  mxGetPr(plhs[0])[0] += 1;
}

void FailingGateway(int, mxArray* plhs[], int nrhs, const mxArray*[]) {
  plhs[0] = mxCreateDoubleScalar(1);
  mxMalloc(64);
  mexPrintf("before the error\n");
  mexErrMsgIdAndTxt("test:failed", "failed with %d inputs and %s", nrhs, "a reason");
}

void EchoGateway(int, mxArray* plhs[], int, const mxArray* prhs[]) {
  plhs[0] = const_cast<mxArray*>(prhs[0]);
  plhs[1] = const_cast<mxArray*>(prhs[0]);
}

void BogusOutputGateway(int, mxArray* plhs[], int, const mxArray*[]) {
  static double not_an_array[4];
  plhs[0] = reinterpret_cast<mxArray*>(not_an_array);
}

void GreedyGateway(int, mxArray* plhs[], int, const mxArray*[]) {
  mxMalloc(16);
  plhs[0] = mxCreateDoubleScalar(3);
  mxMalloc(std::numeric_limits<std::size_t>::max() / 2);
  mexPrintf("not reached\n");
}

void PrintingGateway(int, mxArray*[], int, const mxArray*[]) {
  mexPrintf("%s=%d;", "x", 42);
  mexPrintf("%s", std::string(5000, 'y').c_str());
}

void NestedGateway(int, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  mxArray* inner[1] = {nullptr};
  const CallResult r = Call(&LeakyGateway, 1, inner, nrhs, prhs);
  // The inner output now belongs to this call, which returns it.
  plhs[0] = r.ok ? inner[0] : nullptr;
}

class StandinCall : public ::testing::Test {
 protected:
  void SetUp() override {
    arrays_ = standin::LiveArrays();
    blocks_ = standin::LiveBlocks();
  }
  void ExpectNothingLeft() {
    EXPECT_EQ(standin::LiveArrays(), arrays_);
    EXPECT_EQ(standin::LiveBlocks(), blocks_);
  }
  std::size_t arrays_ = 0, blocks_ = 0;
};

TEST_F(StandinCall, ReclaimsLeftoversAndKeepsInputsAndOutputs) {
  mxArray* input = standin::CreateScalar(41);
  const mxArray* prhs[1] = {input};
  mxArray* plhs[1] = {nullptr};
  const CallResult r = Call(&LeakyGateway, 1, plhs, 1, prhs);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.blocks_left, 2u);
  EXPECT_EQ(r.arrays_left, 1u);
  ASSERT_NE(plhs[0], nullptr);
  EXPECT_EQ(mxGetScalar(plhs[0]), 42.0);
  EXPECT_EQ(mxGetScalar(input), 41.0);
  EXPECT_EQ(standin::LiveArrays(), arrays_ + 2);
  EXPECT_EQ(standin::LiveBlocks(), blocks_);
  standin::Destroy(plhs[0]);
  standin::Destroy(input);
  ExpectNothingLeft();
}

TEST_F(StandinCall, ErrorDeliversIdAndMessageAndFreesOutputs) {
  mxArray* plhs[1] = {nullptr};
  const CallResult r = Call(&FailingGateway, 1, plhs, 0, nullptr);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.id, "test:failed");
  EXPECT_EQ(r.message, "failed with 0 inputs and a reason");
  EXPECT_EQ(r.printed, "before the error\n");
  EXPECT_EQ(plhs[0], nullptr);
  EXPECT_EQ(r.arrays_left, 1u);
  EXPECT_EQ(r.blocks_left, 1u);
  ExpectNothingLeft();
  // The host is usable again after an error.
  mxArray* input = standin::CreateScalar(1);
  const mxArray* prhs[1] = {input};
  EXPECT_TRUE(Call(&LeakyGateway, 1, plhs, 1, prhs).ok);
  standin::Destroy(plhs[0]);
  standin::Destroy(input);
  ExpectNothingLeft();
}

TEST_F(StandinCall, ReturnedInputsArriveAsDistinctCopies) {
  mxArray* input = standin::CreateScalar(5);
  const mxArray* prhs[1] = {input};
  mxArray* plhs[2] = {nullptr, nullptr};
  const CallResult r = Call(&EchoGateway, 2, plhs, 1, prhs);
  ASSERT_TRUE(r.ok);
  EXPECT_NE(plhs[0], input);
  EXPECT_NE(plhs[1], input);
  EXPECT_NE(plhs[0], plhs[1]);
  EXPECT_EQ(mxGetScalar(plhs[0]), 5.0);
  EXPECT_EQ(mxGetScalar(plhs[1]), 5.0);
  standin::Destroy(plhs[0]);
  standin::Destroy(plhs[1]);
  standin::Destroy(input);
  ExpectNothingLeft();
}

TEST_F(StandinCall, OutputThatIsNoArrayIsAnError) {
  mxArray* plhs[1] = {nullptr};
  const CallResult r = Call(&BogusOutputGateway, 1, plhs, 0, nullptr);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.id, "standin:invalidOutput");
  EXPECT_EQ(plhs[0], nullptr);
  ExpectNothingLeft();
}

TEST_F(StandinCall, AllocationFailureRaisesInTheCall) {
  mxArray* plhs[1] = {nullptr};
  const CallResult r = Call(&GreedyGateway, 1, plhs, 0, nullptr);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.id, "standin:outOfMemory");
  EXPECT_EQ(r.printed, "");
  EXPECT_EQ(plhs[0], nullptr);
  ExpectNothingLeft();
}

TEST_F(StandinCall, CapturesPrintedTextPerCall) {
  const CallResult r = Call(&PrintingGateway, 0, nullptr, 0, nullptr);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.printed, "x=42;" + std::string(5000, 'y'));
  // Each call starts with nothing captured.
  EXPECT_EQ(Call(&PrintingGateway, 0, nullptr, 0, nullptr).printed, r.printed);
}

TEST_F(StandinCall, OutputWithNowhereToGoIsReclaimed) {
  mxArray* input = standin::CreateScalar(1);
  const mxArray* prhs[1] = {input};
  const CallResult r = Call(&LeakyGateway, 0, nullptr, 1, prhs);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.arrays_left, 2u);
  standin::Destroy(input);
  ExpectNothingLeft();
}

TEST_F(StandinCall, NestedCallHandsItsOutputToTheOuterCall) {
  mxArray* input = standin::CreateScalar(1);
  const mxArray* prhs[1] = {input};
  mxArray* plhs[1] = {nullptr};
  const CallResult r = Call(&NestedGateway, 1, plhs, 1, prhs);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.arrays_left, 0u);  // the inner call already reclaimed its leak
  EXPECT_EQ(mxGetScalar(plhs[0]), 2.0);
  standin::Destroy(plhs[0]);
  standin::Destroy(input);
  ExpectNothingLeft();
}

TEST_F(StandinCall, RefusesNullGateway) {
  const CallResult r = Call(nullptr, 0, nullptr, 0, nullptr);
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.id.empty());
}

}  // namespace
