// What every test suite shares: bit-for-bit comparison of results, and
// calls made on several threads at once.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "threads.h"

namespace testbits {

// The threads a pass of `slabs` slabs starts: one per slab, or the slabs
// share the threads the process may use.
inline int StartsOfAPass(int slabs) {
  const int available = platform::AvailableThreads();
  return slabs < available ? slabs : available;
}

inline bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

inline bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

inline bool SameBits(const std::vector<std::vector<double>>& a,
                     const std::vector<std::vector<double>>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k)
    if (!SameBits(a[k], b[k])) return false;
  return true;
}

// Equal bits where a NaN matches any NaN: which operand's NaN an operation
// passes on depends on how the compiler orders a commutative operation's
// operands. Returns the first voxel that differs, or -1.
inline long FirstDifferenceOrNan(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    if (!SameBits(a[i], b[i])) return static_cast<long>(i);
  }
  return -1;
}

// Masks over a rows x cols x slices volume (column-major bytes, 1 = wanted)
// whose runs of rows start and end anywhere: none, every voxel, one voxel
// near a corner and one inside, a ball, and a scatter of about 3% of the
// voxels.
struct NamedMask {
  std::string name;
  std::vector<unsigned char> mask;
};

inline std::vector<NamedMask> TestMasks(int rows, int cols, int slices, uint32_t seed) {
  const std::size_t n = static_cast<std::size_t>(rows) * cols * slices;
  auto at = [&](int r, int c, int s) { return r + static_cast<std::size_t>(c) * rows +
                                              static_cast<std::size_t>(s) * rows * cols; };
  std::vector<NamedMask> masks{{"none", std::vector<unsigned char>(n, 0)},
                               {"all", std::vector<unsigned char>(n, 1)},
                               {"two voxels", std::vector<unsigned char>(n, 0)},
                               {"ball", std::vector<unsigned char>(n, 0)},
                               {"scatter", std::vector<unsigned char>(n, 0)}};
  masks[2].mask[at(1, 0, slices - 1)] = 1;
  masks[2].mask[at(rows / 2, cols / 2, slices / 2)] = 1;
  const double radius = 0.3 * std::min(rows, std::min(cols, slices));
  for (int s = 0; s < slices; ++s)
    for (int c = 0; c < cols; ++c)
      for (int r = 0; r < rows; ++r) {
        const double dr = r - 0.4 * rows, dc = c - 0.6 * cols, ds = s - 0.5 * slices;
        masks[3].mask[at(r, c, s)] = dr * dr + dc * dc + ds * ds < radius * radius;
      }
  std::mt19937 rng(seed);
  for (unsigned char& m : masks[4].mask) m = rng() % 32 == 0;
  return masks;
}

// Whether a masked result holds the unmasked result's bits inside the mask
// and the input's outside. Returns the first voxel that differs, or -1.
inline long FirstMaskedDifference(const std::vector<unsigned char>& mask,
                                  const std::vector<double>& masked,
                                  const std::vector<double>& unmasked,
                                  const std::vector<double>& input) {
  for (std::size_t i = 0; i < mask.size(); ++i)
    if (!SameBits(masked[i], mask[i] != 0 ? unmasked[i] : input[i])) return static_cast<long>(i);
  return -1;
}

// Runs call(k) for k = 0 .. count-1, each on its own thread, all at once,
// and waits for them.
template <class Call>
void RunAtOnce(std::size_t count, Call call) {
  std::vector<std::thread> threads;
  for (std::size_t k = 0; k < count; ++k) threads.emplace_back([&call, k] { call(k); });
  for (std::thread& t : threads) t.join();
}

}  // namespace testbits
