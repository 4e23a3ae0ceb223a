// End-to-end runs of the mexrun binary against a small test MEX file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "npy.h"

namespace {

struct Outcome {
  int code = -1;  // exit status; -1 when killed by a signal
  std::string out;
  std::string err;
};

std::string TempPath(const std::string& name) {
  // ctest runs tests in parallel processes: keep their files apart.
  return ::testing::TempDir() + "mexrun_tests_" + std::to_string(::getpid()) + "_" + name;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Outcome RunMexrun(const std::vector<std::string>& args) {
  const std::string out_path = TempPath("stdout.txt"), err_path = TempPath("stderr.txt");
  std::vector<char*> argv;
  std::string program = MEXRUN_PATH;
  argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Outcome o;
  o.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  o.out = Slurp(out_path);
  o.err = Slurp(err_path);
  return o;
}

npy::Array Counting(std::vector<int64_t> shape) {
  npy::Array a;
  a.shape = shape;
  std::size_t n = 1;
  for (int64_t d : shape) n *= static_cast<std::size_t>(d);
  for (std::size_t i = 0; i < n; ++i) a.data.push_back(static_cast<double>(i) + 0.25);
  return a;
}

std::string WriteInput(const std::string& name, const npy::Array& a) {
  const std::string path = TempPath(name);
  npy::Write(path, a);
  return path;
}

class Mexrun : public ::testing::Test {
 protected:
  void SetUp() override { std::remove(out_.c_str()); }
  const std::string out_ = TempPath("out.npy");
};

TEST_F(Mexrun, WritesTheOutputWithTheInputShape) {
  const npy::Array in = Counting({2, 3, 4});
  const Outcome o = RunMexrun({TWICE_MEX_PATH, WriteInput("in3.npy", in), "-o", out_});
  ASSERT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(o.out, "twice: 24 elements\n");
  const npy::Array got = npy::Read(out_);
  EXPECT_EQ(got.shape, in.shape);
  ASSERT_EQ(got.data.size(), in.data.size());
  for (std::size_t i = 0; i < in.data.size(); ++i) EXPECT_EQ(got.data[i], 2 * in.data[i]);
}

TEST_F(Mexrun, MapsLowRankInputsToHostShapes) {
  struct Case {
    std::vector<int64_t> in, out;
  };
  for (const Case& c : {Case{{}, {1, 1}}, Case{{5}, {5, 1}}, Case{{0, 3}, {0, 3}},
                        Case{{3, 1, 1}, {3, 1}}}) {
    const Outcome o = RunMexrun({TWICE_MEX_PATH, WriteInput("low.npy", Counting(c.in)), "-o", out_});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(npy::Read(out_).shape, c.out) << c.in.size();
  }
}

TEST_F(Mexrun, ParsesNumbersAsScalars) {
  struct Case {
    const char* text;
    double twice;
  };
  for (const Case& c : {Case{"1e3", 2000}, Case{"-0.5", -1}, Case{"inf", INFINITY},
                        Case{"-inf", -INFINITY}, Case{"0", 0}}) {
    // The second argument 0 exercises argument order: mode 0 is the plain double.
    const Outcome o = RunMexrun({TWICE_MEX_PATH, c.text, "0", "-o", out_});
    ASSERT_EQ(o.code, 0) << c.text << ": " << o.err;
    const npy::Array got = npy::Read(out_);
    EXPECT_EQ(got.shape, (std::vector<int64_t>{1, 1}));
    ASSERT_EQ(got.data.size(), 1u);
    EXPECT_EQ(got.data[0], c.twice) << c.text;
  }
  const Outcome o = RunMexrun({TWICE_MEX_PATH, "nan", "-o", out_});
  ASSERT_EQ(o.code, 0) << o.err;
  EXPECT_TRUE(std::isnan(npy::Read(out_).data.at(0)));
}

TEST_F(Mexrun, GatewayErrorExitsOneWithIdAndMessage) {
  const Outcome o = RunMexrun({TWICE_MEX_PATH, "3", "-1", "-o", out_});
  EXPECT_EQ(o.code, 1);
  EXPECT_EQ(o.err, "twice:negative: second input is -1\n");
  EXPECT_TRUE(Slurp(out_).empty());
  EXPECT_EQ(RunMexrun({TWICE_MEX_PATH, "-o", out_}).err, "twice:input: needs a real double input\n");
}

TEST_F(Mexrun, UsageErrorsExitTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {TWICE_MEX_PATH, "1"},                    // no -o
      {TWICE_MEX_PATH, "1", "-o"},              // -o without a file
      {TWICE_MEX_PATH, "1", "-o", ""},          // empty output name
      {TWICE_MEX_PATH, "12abc", "-o", out_},    // not a number
      {TWICE_MEX_PATH, "", "-o", out_},
      {TWICE_MEX_PATH, " 1", "-o", out_},
      {"-o", out_},                             // no MEX file
  };
  for (const auto& args : cases) {
    const Outcome o = RunMexrun(args);
    EXPECT_EQ(o.code, 2) << (args.empty() ? "" : args.back());
    EXPECT_NE(o.err.find("usage"), std::string::npos) << o.err;
  }
  const Outcome help = RunMexrun({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("usage: mexrun MEXFILE ARG... -o OUT.npy"), std::string::npos);
}

TEST_F(Mexrun, BadFilesAndOutputsExitTwoWithAMessage) {
  const std::string garbage = TempPath("garbage.npy");
  std::ofstream(garbage) << "not an npy file";
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{TempPath("missing.mexa64"), "1", "-o", out_}, "cannot load"},
      {{NOGATEWAY_MEX_PATH, "1", "-o", out_}, "no mexFunction"},
      {{TWICE_MEX_PATH, TempPath("missing.npy"), "-o", out_}, "missing.npy"},
      {{TWICE_MEX_PATH, garbage, "-o", out_}, "garbage.npy"},
      {{TWICE_MEX_PATH, "1", "7", "-o", out_}, "not a real, full double"},
      {{TWICE_MEX_PATH, "1", "8", "-o", out_}, "no output"},
      {{TWICE_MEX_PATH, "1", "-o", out_, "-o", TempPath("second.npy")}, "no output 2"},
      {{TWICE_MEX_PATH, "1", "-o", "/nonexistent-dir/out.npy"}, "/nonexistent-dir/out.npy"},
  };
  for (const Case& c : cases) {
    const Outcome o = RunMexrun(c.args);
    EXPECT_EQ(o.code, 2) << c.says << ": " << o.err;
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
  }
  EXPECT_TRUE(Slurp(out_).empty());
}

}  // namespace
