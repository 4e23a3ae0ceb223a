// One lane, in plain C++: the vocabulary's operations on a single double,
// for the kernels' scalar build on every processor. Only the operations the
// search kernel takes are here. See lanes.h.
#pragma once

#include <cstdint>

#include "lanes.h"
#include "truncate.h"

namespace platform {
namespace {

struct ScalarLanes {
  static constexpr int N = 1;
  using D = double;
  using M = bool;
  using I = int32_t;
  using Table8 = const double*;

  static D Load(const double* p) { return *p; }
  static void Store(double* p, D x) { *p = x; }
  static D Set(double x) { return x; }
  static D Zero() { return 0.0; }
  static D Add(D a, D b) { return a + b; }
  static D Sub(D a, D b) { return a - b; }
  static D Mul(D a, D b) { return a * b; }
  static constexpr bool kFusedMulAdd = false;
  static M Less(D a, D b) { return a < b; }
  static M LessEqual(D a, D b) { return a <= b; }
  static M Equal(D a, D b) { return a == b; }
  static M NotGreater(D a, D b) { return !(a > b); }
  static M NotEqual(D a, D b) { return !(a == b); }
  static M And(M a, M b) { return a && b; }
  static M AndNot(M a, M b) { return a && !b; }
  static unsigned Bits(M m) { return m ? 1u : 0u; }
  static D Select(M m, D a, D b) { return m ? a : b; }
  static void StoreWhere(double* p, M m, D x, D old) { Store(p, Select(m, x, old)); }
  static M FromBits(unsigned bits) { return (bits & 1u) != 0; }
  static D LoadOnly(const double* p, M m) { return m ? *p : 0.0; }
  static void StoreOnly(double* p, M m, D x) {
    if (m) *p = x;
  }
  static I TruncateToInt(D x) { return TruncateToInt32(x); }
  static D ToDouble(I k) { return static_cast<double>(k); }
  // The most negative integer stays itself, as the vector instructions leave it.
  static I AbsInt(I k) {
    return static_cast<int32_t>(k < 0 ? 0u - static_cast<uint32_t>(k) : static_cast<uint32_t>(k));
  }
  static Table8 MakeTable8(const double* table) { return table; }
  static D Lookup8(Table8 table, I k) { return table[k & 7]; }
};

}  // namespace
}  // namespace platform
