#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "quillon_slabs.h"

namespace quillon {
namespace {

std::vector<std::pair<int, int>> Slabs(int slices) {
  std::vector<std::pair<int, int>> out;
  for (int k = 0; k < kWorkers; ++k) out.emplace_back(SlabOf(k, slices).first_slice, SlabOf(k, slices).end_slice - 1);
  return out;
}

using P = std::vector<std::pair<int, int>>;

TEST(QuillonSlabs, MatchTheWorkedExamples) {
  EXPECT_EQ(Slabs(3), P(8, {0, -1}));
  EXPECT_EQ(Slabs(4), (P{{0, -1}, {0, -1}, {0, -1}, {0, -1}, {0, -1}, {0, -1}, {0, -1}, {0, 0}}));
  EXPECT_EQ(Slabs(6), (P{{0, -1}, {0, -1}, {0, -1}, {0, 0}, {1, 0}, {1, 0}, {1, 0}, {1, 2}}));
  EXPECT_EQ(Slabs(11), (P{{0, -1}, {0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 7}}));
  EXPECT_EQ(Slabs(20), (P{{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}, {10, 11}, {12, 13}, {14, 16}}));
  EXPECT_EQ(Slabs(100),
            (P{{0, 11}, {12, 23}, {24, 35}, {36, 47}, {48, 59}, {60, 71}, {72, 83}, {84, 96}}));
}

TEST(QuillonSlabs, CoverEveryStartSliceOnce) {
  for (int slices = 4; slices < 300; ++slices) {
    std::vector<int> seen(slices - 3, 0);
    for (auto [first, last] : Slabs(slices))
      for (int s = first; s <= last; ++s) ++seen[s];
    for (int s = 0; s <= slices - 4; ++s) EXPECT_EQ(seen[s], 1) << slices << " " << s;
  }
}

}  // namespace
}  // namespace quillon
