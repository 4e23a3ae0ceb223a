// What every test suite shares: bit-for-bit comparison of results, and
// calls made on several threads at once.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

namespace testbits {

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

// Runs call(k) for k = 0 .. count-1, each on its own thread, all at once,
// and waits for them.
template <class Call>
void RunAtOnce(std::size_t count, Call call) {
  std::vector<std::thread> threads;
  for (std::size_t k = 0; k < count; ++k) threads.emplace_back([&call, k] { call(k); });
  for (std::thread& t : threads) t.join();
}

}  // namespace testbits
