// quillon.mexa64 as users run it without a host: through mexrun.
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "npy.h"
#include "quillon_support.h"

namespace {

namespace fs = std::filesystem;

struct RunResult {
  int status;
  std::string err;
};

class QuillonMexrun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("quillon_e2e_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // `environment`: assignments that precede the command, "NAME=value ".
  RunResult Mexrun(const std::string& args, const std::string& environment = "") const {
    const std::string err = Path("stderr.txt");
    const std::string cmd =
        environment + std::string(MEXRUN) + " " + QUILLON_MEX + " " + args + " 2>" + err;
    const int raw = std::system(cmd.c_str());
    std::ifstream in(err);
    std::stringstream text;
    text << in.rdbuf();
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text.str()};
  }

  fs::path dir_;
};

TEST_F(QuillonMexrun, SameBitsOnEveryRunForEveryFlag) {
  quillon::fixtures::Volume v = quillon::fixtures::NoisyPhantom(26, 22, 19, 6.0, 4, -30.0);
  npy::Write(Path("noisy.npy"), {{v.rows, v.cols, v.slices}, v.v});
  for (const char* flag : {"1", "0", "-1"}) {
    ASSERT_EQ(Mexrun(Path("noisy.npy") + " 6 " + flag + " -o " + Path("a.npy")).status, 0);
    ASSERT_EQ(Mexrun(Path("noisy.npy") + " 6 " + flag + " -o " + Path("b.npy")).status, 0);
    const npy::Array a = npy::Read(Path("a.npy"));
    const npy::Array b = npy::Read(Path("b.npy"));
    EXPECT_EQ(a.shape, (std::vector<int64_t>{26, 22, 19}));
    ASSERT_EQ(a.data.size(), b.data.size());
    EXPECT_EQ(0, std::memcmp(a.data.data(), b.data.data(), a.data.size() * sizeof(double)));
    double largest_change = 0;
    for (size_t i = 0; i < a.data.size(); ++i) {
      largest_change = std::max(largest_change, std::fabs(a.data[i] - v.v[i]));
    }
    EXPECT_GT(largest_change, 0.0);
  }
}

TEST_F(QuillonMexrun, HostErrorsEndTheRunWithTheirIdentifier) {
  npy::Write(Path("flat.npy"), {{5, 5}, std::vector<double>(25, 1.0)});
  const RunResult bad_volume = Mexrun(Path("flat.npy") + " 1 1 -o " + Path("x.npy"));
  EXPECT_EQ(bad_volume.status, 1);
  // A matrix is one slice: too thin for a 4x4x4 block.
  EXPECT_NE(bad_volume.err.find("quillon:size: "), std::string::npos) << bad_volume.err;
  EXPECT_NE(bad_volume.err.find("1 slice"), std::string::npos) << bad_volume.err;

  npy::Write(Path("cube.npy"), {{5, 5, 5}, std::vector<double>(125, 1.0)});
  const RunResult bad_flag = Mexrun(Path("cube.npy") + " 1 nan -o " + Path("x.npy"));
  EXPECT_EQ(bad_flag.status, 1);
  EXPECT_NE(bad_flag.err.find("quillon:rician"), std::string::npos);
  EXPECT_FALSE(fs::exists(Path("x.npy")));

  // An instruction set the process is told to use and cannot: every call
  // is refused, with the reason.
  for (const char* isa : {"avx1024", "Scalar"}) {
    const RunResult refused =
        Mexrun(Path("cube.npy") + " 1 1 -o " + Path("x.npy"), std::string("DENOISERS_ISA=") + isa + " ");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find(std::string("quillon:isa: DENOISERS_ISA=") + isa), std::string::npos)
        << refused.err;
  }
  EXPECT_EQ(Mexrun(Path("cube.npy") + " 1 1 -o " + Path("x.npy"), "DENOISERS_ISA=scalar ").status, 0);
}

// Ctrl-C while a long call runs: mexrun sets the host's interrupt flag, the
// call stops within moments and the run ends with the error, no output.
TEST_F(QuillonMexrun, CtrlCEndsALongCallWithTheInterruptedError) {
  // Large enough to be still in the call half a second after its start.
  quillon::fixtures::Volume v = quillon::fixtures::NoisyPhantom(256, 256, 128, 20.0, 6);
  npy::Write(Path("big.npy"), {{v.rows, v.cols, v.slices}, v.v});
  // Prints the seconds from the signal to the end of the run.
  const std::string script = std::string(MEXRUN) + " " + QUILLON_MEX + " " + Path("big.npy") +
                             " 20 1 -o " + Path("x.npy") + " 2>" + Path("err.txt") +
                             " & run=$!; sleep 0.5; t0=$(date +%s.%N); kill -INT $run; wait $run;"
                             " status=$?; t1=$(date +%s.%N); echo \"$status $t0 $t1\" >" +
                             Path("times.txt");
  ASSERT_EQ(std::system(("bash -c '" + script + "'").c_str()), 0);
  std::ifstream times(Path("times.txt"));
  int status = -1;
  double t0 = 0.0, t1 = 0.0;
  times >> status >> t0 >> t1;
  std::ifstream err_file(Path("err.txt"));
  std::stringstream err;
  err << err_file.rdbuf();
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.str().find("quillon:interrupted: "), std::string::npos) << err.str();
  // A figure, not a check: it holds the process's exit, which a sanitizer
  // makes slow; the in-process test (reliability/) checks the stop itself.
  std::printf("the run ended %.3f s after SIGINT\n", t1 - t0);
  EXPECT_FALSE(fs::exists(Path("x.npy")));
}

}  // namespace
