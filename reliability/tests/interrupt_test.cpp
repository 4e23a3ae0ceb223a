// Ctrl-C through the stand-in host: libut's flag, set from another thread
// while a long call runs, stops the call soon after with the gateway's
// interrupted error, and leaves no thread, array or block behind; the next
// call gives its usual bits.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "gateway_calls.h"
#include "process_state.h"

namespace reliability {
namespace {

using namespace gatewaytest;
using Clock = std::chrono::steady_clock;

standin::MexFunction LoadGateway(const char* path) {
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);  // never closed, as in the host
  return module == nullptr ? nullptr
                           : reinterpret_cast<standin::MexFunction>(dlsym(module, "mexFunction"));
}

// Under a sanitizer every step is many times slower; the stop itself is not.
#if defined(RELIABILITY_ASAN) || defined(RELIABILITY_TSAN)
constexpr double kStopWithinSeconds = 5.0;
#else
constexpr double kStopWithinSeconds = 0.5;
#endif

struct Case {
  const char* name;
  const char* path;
  const char* id;
  Args long_call;   // takes seconds
  Args short_call;  // its bits are compared before and after
};

TEST(Interrupt, CtrlCStopsALongCallAndLeavesNothingBehind) {
  // Large enough to be still in the call 300 ms after its start.
  const std::vector<double> big = Phantom(256, 256, 128, 900.0, 3);
  const std::vector<double> small = Phantom(12, 11, 10, 90.0, 4);
  Case cases[2] = {{"quillon", QUILLON_MEX, "quillon:interrupted", {}, {}},
                   {"tessary", TESSARY_MEX, "tessary:interrupted", {}, {}}};
  cases[0].long_call.Volume({256, 256, 128}, big).Scalar(20).Scalar(1);
  cases[0].short_call.Volume({12, 11, 10}, small).Scalar(8).Scalar(1);
  cases[1].long_call.Volume({256, 256, 128}, big).Scalar(5).Scalar(1).Scalar(20)
      .Volume({256, 256, 128}, big).Scalar(1);
  cases[1].short_call.Volume({12, 11, 10}, small).Scalar(2).Scalar(1).Scalar(8)
      .Volume({12, 11, 10}, small).Scalar(1);

  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    const standin::MexFunction fn = LoadGateway(c.path);
    ASSERT_NE(fn, nullptr) << dlerror();
    const Result before = CallGateway(fn, 1, c.short_call);
    ASSERT_TRUE(before.call.ok);
    const int threads = ThreadCount();
    const std::size_t arrays = standin::LiveArrays();
    const std::size_t blocks = standin::LiveBlocks();

    Clock::time_point pressed;
    std::thread user([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      pressed = Clock::now();
      utSetInterruptPending(true);
    });
    const Result stopped = CallGateway(fn, 1, c.long_call);
    const Clock::time_point returned = Clock::now();
    user.join();
    utSetInterruptPending(false);

    ASSERT_FALSE(stopped.call.ok) << "the call ended before the interrupt";
    EXPECT_EQ(stopped.call.id, c.id) << stopped.call.message;
    const double seconds = std::chrono::duration<double>(returned - pressed).count();
    EXPECT_LT(seconds, kStopWithinSeconds);
    std::printf("%s stopped %.3f s after the interrupt\n", c.name, seconds);
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(standin::LiveArrays(), arrays);
    EXPECT_EQ(standin::LiveBlocks(), blocks);
    EXPECT_EQ(stopped.call.blocks_left, 0u);
    EXPECT_TRUE(NoLeaks());

    const Result after = CallGateway(fn, 1, c.short_call);
    ASSERT_TRUE(after.call.ok) << after.call.id;
    EXPECT_TRUE(SameBits(after.out, before.out));
  }
}

}  // namespace
}  // namespace reliability
