// The pieces the driver computes before any worker runs: mirrored borders,
// local means and slabs.
#include <gtest/gtest.h>

#include <vector>

#include "local_mean.h"
#include "tessary_slabs.h"

namespace tessary {
namespace {

TEST(TessaryMirror, BordersAreAsymmetric) {
  const int expected[] = {1, 0, 1, 2, 3, 4, 4};
  for (int x = -1; x <= 5; ++x) EXPECT_EQ(MirrorIndex(x, 5), expected[x + 1]) << "x=" << x;
  for (int x = -1; x <= 1; ++x) EXPECT_EQ(MirrorIndex(x, 1), 0) << "x=" << x;
}

TEST(TessaryLocalMean, RowOfThree) {
  const double guide[] = {1, 2, 4};
  double mean[3];
  BuildLocalMean(guide, mean, 3, 1, 1);
  EXPECT_EQ(mean[0], 10.0 / 8);
  EXPECT_EQ(mean[1], 17.0 / 8);
  EXPECT_EQ(mean[2], 30.0 / 8);
}

TEST(TessaryLocalMean, CubeOfThree) {
  std::vector<double> guide(27), mean(27);
  for (int s = 0; s < 3; ++s)
    for (int c = 0; c < 3; ++c)
      for (int r = 0; r < 3; ++r) guide[r + 3 * c + 9 * s] = r + 10 * c + 100 * s;
  BuildLocalMean(guide.data(), mean.data(), 3, 3, 3);
  EXPECT_EQ(mean[0], 222.0 / 8);
  EXPECT_EQ(mean[1 + 3 + 9], 111.0);
  EXPECT_EQ(mean[2 + 6 + 18], 1665.0 / 8);
}

TEST(TessaryLocalMean, ConstantGuideStaysConstant) {
  std::vector<double> guide(4 * 3 * 2, 7.0), mean(guide.size());
  BuildLocalMean(guide.data(), mean.data(), 4, 3, 2);
  for (double m : mean) EXPECT_EQ(m, 7.0);
}

// The row neighbours are the first and the last of the eight additions. With
// 2^53 above and -2^53 below the centre every small term in between is
// absorbed, so any other order would leave a non-zero sum.
TEST(TessaryLocalMean, RowNeighboursOpenAndCloseTheSum) {
  const double big = 9007199254740992.0;  // 2^53
  const double guide[] = {big, 1.0, -big};
  double mean[3];
  BuildLocalMean(guide, mean, 3, 1, 1);
  EXPECT_EQ(mean[1], 0.0);
}

TEST(TessaryLocalMean, SingleSliceUsesItselfAsSliceNeighbours) {
  const double guide[] = {8, 16};
  double mean[2];
  BuildLocalMean(guide, mean, 1, 2, 1);
  // column -1 of column 0 mirrors to column 1, column 2 of column 1 to
  // column 1 itself; rows and slices mirror to the voxel itself
  EXPECT_EQ(mean[0], (6 * 8.0 + 2 * 16.0) / 8);
  EXPECT_EQ(mean[1], (7 * 16.0 + 8.0) / 8);
}

struct SlabCase {
  int slices;
  std::vector<std::pair<int, int>> slabs;
};

TEST(TessarySlabs, TableOfPartitions) {
  const SlabCase cases[] = {
      {1, {{0, 1}}},
      {3, {{0, 1}, {1, 2}, {2, 3}}},
      {10, {{0, 1}, {1, 2}, {2, 3}, {3, 5}, {5, 6}, {6, 7}, {7, 8}, {8, 10}}},
      {13, {{0, 1}, {1, 3}, {3, 4}, {4, 6}, {6, 8}, {8, 9}, {9, 11}, {11, 13}}},
      {100, {{0, 12}, {12, 25}, {25, 37}, {37, 50}, {50, 62}, {62, 75}, {75, 87}, {87, 100}}},
  };
  for (const SlabCase& c : cases) {
    const int workers = WorkerCount(c.slices);
    ASSERT_EQ(workers, static_cast<int>(c.slabs.size())) << c.slices << " slices";
    for (int w = 0; w < workers; ++w) {
      const Slab slab = SlabOf(w, workers, c.slices);
      EXPECT_EQ(slab.first_slice, c.slabs[w].first) << c.slices << " slices, worker " << w;
      EXPECT_EQ(slab.end_slice, c.slabs[w].second) << c.slices << " slices, worker " << w;
      EXPECT_EQ(Direction(w), w % 2 == 0 ? 1 : -1) << c.slices << " slices, worker " << w;
    }
  }
}

TEST(TessarySlabs, WorkerCountIsClamped) {
  EXPECT_EQ(WorkerCount(0), 1);
  EXPECT_EQ(WorkerCount(-4), 1);
  EXPECT_EQ(WorkerCount(7), 7);
  EXPECT_EQ(WorkerCount(9), 8);
}

TEST(TessarySlabs, HugeSliceCountDoesNotOverflow) {
  const int slices = 2147483647;
  EXPECT_EQ(SlabOf(7, 8, slices).end_slice, slices);
  EXPECT_EQ(SlabOf(4, 8, slices).first_slice, 1073741823);
}

}  // namespace
}  // namespace tessary
