#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "dct.h"
#include "quillon_support.h"
#include "workers.h"

namespace quillon {
namespace {

using fixtures::MakeContext;
using fixtures::RunWholeVolume;
using fixtures::Volume;

class BlockWorkers : public ::testing::Test {
 protected:
  // Pass 1 on a volume; returns {sum, weight} at voxel 0 and fills the volumes.
  void FirstPass(Volume& in, double sigma) {
    out_.assign(in.v.size(), 0.0);
    weights_.assign(in.v.size(), 0.0);
    RunWholeVolume(ThreadFunc, MakeContext(in, out_.data(), nullptr, weights_.data(), sigma),
                   out_.data());
  }

  // Pass 2 of a noisy volume against an estimate.
  void OraclePass(Volume& in, Volume& estimate, double sigma, const double* table = nullptr,
                  int table_len = 0, int rician = 0) {
    acc_.assign(in.v.size(), 0.0);
    weights_.assign(in.v.size(), 0.0);
    RunWholeVolume(ThreadFunc2,
                   MakeContext(in, estimate.data(), acc_.data(), weights_.data(), sigma, rician,
                               table_len),
                   acc_.data(), table);
  }

  std::vector<double> out_, acc_, weights_;
};

TEST_F(BlockWorkers, FirstPassKeepsCoefficientsFromTheCeilingOfTheThreshold) {
  struct Case {
    double sigma, value;
    bool dc_kept;
  };
  // A constant block's only coefficient is its DC, 8v.
  const Case cases[] = {
      {1.0, 0.5, true},           // DC 4.0
      {1.0, 0.3, false},          // DC 2.4: integer part 2 < 2.7
      {1.0, 0.375, true},         // DC 3.0
      {1.0, 2.9 / 8, false},      // DC 2.9: above 2.7, integer part below
      {3.0, 9.0 / 8, true},       // DC 9.0 against 8.1000000000000001
      {3.0, 8.9 / 8, false},
      {10.0, 27.0 / 8, true},     // equality keeps
      {10.0, 26.9 / 8, false},
  };
  for (const Case& c : cases) {
    Volume in(4, 4, 4, c.value);
    FirstPass(in, c.sigma);
    for (size_t i = 0; i < in.v.size(); ++i) {
      if (c.dc_kept) {
        EXPECT_EQ(weights_[i], 0.5);
        EXPECT_NEAR(out_[i], 0.5 * c.value, 1e-15);
      } else {
        EXPECT_EQ(weights_[i], 1.0);
        EXPECT_EQ(out_[i], 0.0);
      }
    }
  }
  Volume exact(4, 4, 4, 3.0);
  FirstPass(exact, 1.0);
  EXPECT_EQ(out_[21], 1.5);  // integer values come back exactly
}

TEST_F(BlockWorkers, BlocksWithoutAPositiveVoxelAreSkipped) {
  for (double fill : {0.0, -3.0}) {
    Volume in(5, 4, 6, fill);
    in.at(1, 1, 1) = NAN;
    FirstPass(in, 1.0);
    for (size_t i = 0; i < in.v.size(); ++i) {
      EXPECT_EQ(weights_[i], 0.0);
      EXPECT_EQ(out_[i], 0.0);
    }
    Volume estimate(5, 4, 6, 50.0);
    OraclePass(in, estimate, 1.0);
    for (double w : weights_) EXPECT_EQ(w, 0.0);
  }
}

TEST_F(BlockWorkers, ABlockHoldingAValueThatIsNotFiniteIsSkipped) {
  for (double bad : {double(NAN), double(INFINITY), -double(INFINITY)}) {
    Volume in(4, 4, 4, 10.0);
    in.at(2, 3, 1) = bad;
    FirstPass(in, 1.0);
    for (size_t i = 0; i < in.v.size(); ++i) {
      EXPECT_EQ(weights_[i], 0.0);
      EXPECT_EQ(out_[i], 0.0);
    }
  }
}

TEST_F(BlockWorkers, ZeroSigmaKeepsEveryCoefficient) {
  Volume in = fixtures::NoisyPhantom(6, 5, 7, 5.0, 3);
  for (double sigma : {0.0, -1.0}) {
    FirstPass(in, sigma);
    for (size_t i = 0; i < in.v.size(); ++i) EXPECT_NEAR(out_[i] / weights_[i], in.v[i], 1e-12);
    Volume estimate(6, 5, 7, 0.0);
    OraclePass(in, estimate, sigma);
    for (size_t i = 0; i < in.v.size(); ++i) EXPECT_NEAR(acc_[i] / weights_[i], in.v[i], 1e-12);
  }
}

TEST_F(BlockWorkers, TooSmallVolumesHaveNoBlocks) {
  for (auto [r, c, s] : {std::tuple{3, 8, 8}, std::tuple{8, 3, 8}, std::tuple{8, 8, 3}}) {
    Volume in(r, c, s, 5.0);
    FirstPass(in, 1.0);
    for (double w : weights_) EXPECT_EQ(w, 0.0);
  }
}

TEST_F(BlockWorkers, OracleThresholdIsSigmaOnTheEstimate) {
  Volume in(4, 4, 4, 1.0);  // noisy DC 8: kept or cleared by the estimate's DC alone
  for (double sigma : {2.5, 3.0}) {
    Volume cleared(4, 4, 4, 2.9 / 8);
    OraclePass(in, cleared, sigma);
    for (size_t i = 0; i < 64; ++i) {
      EXPECT_EQ(acc_[i], 0.0);  // K = 0: nothing kept, still weight 1
      EXPECT_EQ(weights_[i], 1.0);
    }
    Volume kept(4, 4, 4, 3.0 / 8);
    OraclePass(in, kept, sigma);
    for (size_t i = 0; i < 64; ++i) {
      EXPECT_EQ(acc_[i], 0.5);
      EXPECT_EQ(weights_[i], 0.5);
    }
  }
}

TEST_F(BlockWorkers, RicianCorrectionThroughTheTable) {
  Volume in(4, 4, 4, 2.0);        // reconstructs to exactly 2.0 when only the DC is kept
  Volume estimate(4, 4, 4, 2.0);  // DC 16 passes sigma = 1, the rest does not
  struct Case {
    int length;
    double entry2, expected;
  } cases[] = {
      {4, 3.5, 3.5},  // the entry replaces the value
      {4, 4.0, 4.0},  // 2x < y is false at equality
      {4, 5.0, 2.0},  // more than twice the value: the value itself
      {4, 0.0, 0.0},  // an empty entry maps to 0
      {2, 9.0, 2.0},  // beyond the table: unchanged
  };
  for (const Case& c : cases) {
    std::vector<double> table(c.length, 0.0);
    if (c.length > 2) table[2] = c.entry2;
    OraclePass(in, estimate, 1.0, table.data(), c.length, 1);
    for (size_t i = 0; i < 64; ++i) {
      EXPECT_EQ(weights_[i], 0.5);
      EXPECT_EQ(acc_[i], 0.5 * c.expected) << c.entry2;
    }
  }
  std::vector<double> table(4, 0.0);
  OraclePass(in, estimate, 1.0, table.data(), 4);
  EXPECT_EQ(acc_[0], 1.0);  // no correction without the flag
}

}  // namespace
}  // namespace quillon
