// Every worker start of a call fails in turn, in both passes of quillon and
// in tessary: the call raises its identified error, waits for the workers
// that did start (none is left running), leaks nothing, and the next call
// computes the very bits of a call that never failed.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "gateway_calls.h"
#include "process_state.h"
#include "threads.h"

extern "C" void quillon_mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
extern "C" void tessary_mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

namespace reliability {
namespace {

using namespace gatewaytest;

struct FaultCase {
  const char* name;
  standin::MexFunction fn;
  const char* id;
  int nlhs;
  int starts;  // worker starts of one call
  std::function<void(Args&)> build;
};

void InjectEveryFault(const FaultCase& c) {
  SCOPED_TRACE(c.name);
  Args args;
  c.build(args);
  const Result reference = CallGateway(c.fn, c.nlhs, args);
  ASSERT_TRUE(reference.call.ok) << reference.call.id << ": " << reference.call.message;
  const std::size_t arrays = standin::LiveArrays();
  const std::size_t blocks = standin::LiveBlocks();
  const int threads = ThreadCount();

  for (int k = 0; k <= c.starts; ++k) {
    SCOPED_TRACE("worker start " + std::to_string(k) + " fails");
    platform::FailThreadStartAfter(k);
    const Result failed = CallGateway(c.fn, c.nlhs, args);
    platform::FailThreadStartAfter(-1);
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(failed.call.blocks_left, 0u);
    EXPECT_EQ(standin::LiveArrays(), arrays);
    EXPECT_EQ(standin::LiveBlocks(), blocks);
    if (k == c.starts) {
      // One past the last start: the hook is never reached.
      EXPECT_TRUE(failed.call.ok) << failed.call.id;
      EXPECT_TRUE(SameBits(failed.out, reference.out));
      continue;
    }
    EXPECT_FALSE(failed.call.ok);
    EXPECT_EQ(failed.call.id, c.id);
    EXPECT_EQ(failed.call.printed, "Threads cannot be created\n");
    EXPECT_TRUE(failed.all_outputs_null);

    const Result next = CallGateway(c.fn, c.nlhs, args);
    ASSERT_TRUE(next.call.ok) << next.call.id << ": " << next.call.message;
    EXPECT_TRUE(SameBits(next.out, reference.out));
  }
  EXPECT_TRUE(NoLeaks());
  std::printf("%s: %d worker-start faults injected\n", c.name, c.starts);
}

TEST(FaultInjection, QuillonEveryStartOfBothPasses) {
  const int rows = 12, cols = 10, slices = 14;
  const std::vector<double> v = Phantom(rows, cols, slices, 80.0, 1);
  // Eight workers a pass, two passes; with both outputs and the bias table,
  // and without Rician noise.
  InjectEveryFault({"quillon, Rician, two outputs", &quillon_mexFunction, "quillon:threads", 2, 16,
                    [&](Args& a) { a.Volume({rows, cols, slices}, v).Scalar(6).Scalar(1); }});
  InjectEveryFault({"quillon, Gaussian", &quillon_mexFunction, "quillon:threads", 1, 16,
                    [&](Args& a) { a.Volume({rows, cols, slices}, v).Scalar(6).Scalar(0); }});
  // Fewer block-start slices than workers: the empty slabs still start.
  const std::vector<double> thin = Phantom(9, 8, 5, 80.0, 2);
  InjectEveryFault({"quillon, five slices", &quillon_mexFunction, "quillon:threads", 1, 16,
                    [&](Args& a) { a.Volume({9, 8, 5}, thin).Scalar(6).Scalar(1); }});
}

TEST(FaultInjection, TessaryEveryStart) {
  const std::vector<double> v = Phantom(16, 12, 10, 80.0, 3);
  const std::vector<double> g = Phantom(16, 12, 10, 80.0, 4);
  InjectEveryFault({"tessary, eight workers", &tessary_mexFunction, "tessary:threads", 1, 8,
                    [&](Args& a) { a.Volume({16, 12, 10}, v).Scalar(2).Scalar(1).Scalar(8).Volume({16, 12, 10}, g).Scalar(1); }});
  // One worker per slice when there are fewer than eight.
  const std::vector<double> t = Phantom(10, 9, 3, 80.0, 5);
  InjectEveryFault({"tessary, three slices", &tessary_mexFunction, "tessary:threads", 1, 3,
                    [&](Args& a) { a.Volume({10, 9, 3}, t).Scalar(3).Scalar(1).Scalar(8).Volume({10, 9, 3}, t).Scalar(0); }});
}

// The user's pipeline with a fault in each stage: quillon's guide, then tessary.
TEST(FaultInjection, PipelineRecoversAfterEachStageFails) {
  const std::vector<double> v = Phantom(12, 11, 9, 90.0, 6);
  Args q;
  q.Volume({12, 11, 9}, v).Scalar(7).Scalar(1);
  const Result guide = CallGateway(&quillon_mexFunction, 1, q);
  ASSERT_TRUE(guide.call.ok);
  Args t;
  t.Volume({12, 11, 9}, v).Scalar(2).Scalar(1).Scalar(7).Volume({12, 11, 9}, guide.out[0]).Scalar(1);
  const Result denoised = CallGateway(&tessary_mexFunction, 1, t);
  ASSERT_TRUE(denoised.call.ok);

  platform::FailThreadStartAfter(11);
  EXPECT_EQ(CallGateway(&quillon_mexFunction, 1, q).call.id, "quillon:threads");
  platform::FailThreadStartAfter(5);
  EXPECT_EQ(CallGateway(&tessary_mexFunction, 1, t).call.id, "tessary:threads");
  platform::FailThreadStartAfter(-1);
  const Result guide_again = CallGateway(&quillon_mexFunction, 1, q);
  EXPECT_TRUE(SameBits(guide_again.out, guide.out));
  EXPECT_TRUE(SameBits(CallGateway(&tessary_mexFunction, 1, t).out, denoised.out));
}

}  // namespace
}  // namespace reliability
