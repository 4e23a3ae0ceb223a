// The built MEX file, run by the command-line host on files: the same bits
// on every run, the core's bits, and a result closer to the clean volume.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "npy.h"
#include "tessary_support.h"

namespace tessary {
namespace {

constexpr int kSide = 64;
constexpr double kSigma = 10.0;

class TessaryEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tessary-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // Runs mexrun; returns its exit status and leaves its stderr in err_.
  int MexRun(const std::string& mex_file, const std::string& args) {
    const std::string command = std::string("'") + MEXRUN_PATH + "' '" + mex_file + "' " + args +
                                " 2>'" + Path("stderr.txt") + "'";
    const int status = std::system(command.c_str());
    std::ifstream err(Path("stderr.txt"));
    std::stringstream text;
    text << err.rdbuf();
    err_ = text.str();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string dir_;
  std::string err_;
};

// A piecewise-smooth phantom: a ramp with a bright ball and a dark slab.
npy::Array Phantom() {
  npy::Array a;
  a.shape = {kSide, kSide, kSide};
  a.data.resize(kSide * kSide * kSide);
  for (int s = 0; s < kSide; ++s)
    for (int c = 0; c < kSide; ++c)
      for (int r = 0; r < kSide; ++r) {
        const double dr = r - 30, dc = c - 34, ds = s - 28;
        double v = 60.0 + 0.5 * c;
        if (dr * dr + dc * dc + ds * ds < 18.0 * 18.0) v = 140.0;
        if (s > 48) v = 25.0;
        a.data[r + kSide * (c + kSide * s)] = v;
      }
  return a;
}

npy::Array AddNoise(const npy::Array& clean) {
  npy::Array noisy = clean;
  std::mt19937 gen(1234);
  std::normal_distribution<double> noise(0.0, kSigma);
  for (double& v : noisy.data) v += noise(gen);
  return noisy;
}

// A 3x3x3 box mean, clamped at the borders: a simple pre-filtered guide.
npy::Array BoxMean(const npy::Array& in) {
  npy::Array out = in;
  auto at = [&](int r, int c, int s) {
    r = std::clamp(r, 0, kSide - 1);
    c = std::clamp(c, 0, kSide - 1);
    s = std::clamp(s, 0, kSide - 1);
    return in.data[r + kSide * (c + kSide * s)];
  };
  for (int s = 0; s < kSide; ++s)
    for (int c = 0; c < kSide; ++c)
      for (int r = 0; r < kSide; ++r) {
        double sum = 0.0;
        for (int k = -1; k <= 1; ++k)
          for (int j = -1; j <= 1; ++j)
            for (int i = -1; i <= 1; ++i) sum += at(r + i, c + j, s + k);
        out.data[r + kSide * (c + kSide * s)] = sum / 27.0;
      }
  return out;
}

double Rmse(const npy::Array& a, const npy::Array& b) {
  double sum = 0.0;
  for (size_t i = 0; i < a.data.size(); ++i) sum += (a.data[i] - b.data[i]) * (a.data[i] - b.data[i]);
  return std::sqrt(sum / static_cast<double>(a.data.size()));
}

std::vector<double> CoreResult(const npy::Array& noisy, const npy::Array& guide, int radius) {
  testing::Volume v;
  v.rows = v.cols = v.slices = kSide;
  v.in = noisy.data;
  v.guide = guide.data;
  const testing::Denoised run(v, radius, kSigma, 0);
  EXPECT_EQ(run.status, Status::kOk);
  return run.out;
}

TEST_F(TessaryEndToEnd, SameBitsEveryRunAndCloserToClean) {
  const npy::Array clean = Phantom();
  const npy::Array noisy = AddNoise(clean);
  const npy::Array guide = BoxMean(noisy);
  npy::Write(Path("noisy.npy"), noisy);
  npy::Write(Path("guide.npy"), guide);
  const std::string args = "'" + Path("noisy.npy") + "' 3 1 10 '" + Path("guide.npy") + "' 0 -o ";
  ASSERT_EQ(MexRun(TESSARY_MEX_PATH, args + "'" + Path("first.npy") + "'"), 0) << err_;
  ASSERT_EQ(MexRun(TESSARY_MEX_PATH, args + "'" + Path("second.npy") + "'"), 0) << err_;
  const npy::Array first = npy::Read(Path("first.npy"));
  const npy::Array second = npy::Read(Path("second.npy"));
  ASSERT_EQ(first.shape, noisy.shape);
  ASSERT_EQ(first.data.size(), second.data.size());
  EXPECT_EQ(std::memcmp(first.data.data(), second.data.data(), first.data.size() * sizeof(double)),
            0);
  const std::vector<double> core = CoreResult(noisy, guide, 3);
  EXPECT_EQ(std::memcmp(first.data.data(), core.data(), core.size() * sizeof(double)), 0);
  EXPECT_LT(Rmse(first, clean), Rmse(noisy, clean));
}

TEST_F(TessaryEndToEnd, HostErrorReachesTheCommandLine) {
  npy::Array small;
  small.shape = {4, 4, 4};
  small.data.assign(64, 1.0);
  npy::Array other = small;
  other.shape = {4, 8, 2};
  npy::Write(Path("small.npy"), small);
  npy::Write(Path("other.npy"), other);
  const int status = MexRun(TESSARY_MEX_PATH, "'" + Path("small.npy") + "' 1 1 10 '" +
                                                  Path("other.npy") + "' 0 -o '" +
                                                  Path("out.npy") + "'");
  EXPECT_EQ(status, 1);
  EXPECT_NE(err_.find("tessary:guideSize"), std::string::npos) << err_;
}

#ifdef QUILLON_MEX_PATH
// The intended pipeline: the block-transform estimate as the guide.
TEST_F(TessaryEndToEnd, QuillonGuideImprovesOnNoisy) {
  const npy::Array clean = Phantom();
  const npy::Array noisy = AddNoise(clean);
  npy::Write(Path("noisy.npy"), noisy);
  ASSERT_EQ(MexRun(QUILLON_MEX_PATH, "'" + Path("noisy.npy") + "' 10 0 -o '" + Path("guide.npy") +
                                         "'"),
            0)
      << err_;
  ASSERT_EQ(MexRun(TESSARY_MEX_PATH, "'" + Path("noisy.npy") + "' 3 1 10 '" + Path("guide.npy") +
                                         "' 0 -o '" + Path("out.npy") + "'"),
            0)
      << err_;
  const npy::Array out = npy::Read(Path("out.npy"));
  EXPECT_LT(Rmse(out, clean), Rmse(noisy, clean));
}
#endif

}  // namespace
}  // namespace tessary
