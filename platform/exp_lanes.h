// The exponential of exp_impl.h on lanes, for arguments in [-10, 0): each
// lane runs the library's own sequence of operations on its normal path,
// which covers those arguments, fused or not as the library picks, so a
// lane's result has the bits of Exp. Where a kernel needs no branch per
// lane, this is several times faster than calling exp lane by lane.
//
// Included only by kernel files, after their lanes header (everything in
// an anonymous namespace, as the lanes).
#pragma once

#include <cstdint>

#include "exp_impl.h"

namespace platform {
namespace {

// 2^(k/128) as the library assembles it from its table, and the table's
// tail, for k = -kExpLaneSteps .. 0 at index k + kExpLaneSteps: arguments in
// [-10, 0) round to k from -1847 to 0. The library takes the table's entry
// for k mod 128 and adds k to the exponent bits above it; the scale here is
// that sum, made once.
constexpr int kExpLaneSteps = 2048;

struct ExpLaneTables {
  double tail[kExpLaneSteps + 1];
  double scale[kExpLaneSteps + 1];

  ExpLaneTables() {
    using namespace exp_detail;
    for (int i = 0; i <= kExpLaneSteps; ++i) {
      // The low bits of kd's bits are those of k: the shift's lowest set
      // bit is bit 51, so it falls out of both the remainder and the
      // shifted exponent.
      const uint64_t ki = static_cast<uint64_t>(static_cast<int64_t>(i - kExpLaneSteps));
      const uint64_t idx = 2 * (ki % kN);
      tail[i] = AsDouble(kTable[idx]);
      scale[i] = AsDouble(kTable[idx + 1] + (ki << (52 - kTableBits)));
    }
  }
};

// The tables, made once per kernel file, on first use.
inline const ExpLaneTables& TheExpLaneTables() {
  static const ExpLaneTables tables;
  return tables;
}

// exp(x) in the active lanes, where x must lie in [-10, 0); the other lanes
// are unspecified. kFused: the library's fused build (V::MulAdd), else its
// unfused one.
template <class V, bool kFused>
inline typename V::D ExpLanes(typename V::D x, typename V::M active, const ExpLaneTables& t) {
  using D = typename V::D;
  using namespace exp_detail;
  const auto mul_add = [](D a, D b, D c) {
    if constexpr (kFused) {
      return V::MulAdd(a, b, c);
    } else {
      return V::Add(V::Mul(a, b), c);
    }
  };
  const D shift = V::Set(kShift);
  const D kd = V::Sub(mul_add(V::Set(kInvLn2N), x, shift), shift);
  const D r = mul_add(kd, V::Set(kNegLn2LoN), mul_add(kd, V::Set(kNegLn2HiN), x));
  const typename V::I at = V::TruncateToInt(V::Add(kd, V::Set(double{kExpLaneSteps})));
  const D tail = V::Gather(t.tail, at, active);
  const D scale = V::Gather(t.scale, at, active);
  const D r2 = V::Mul(r, r);
  const D tmp = mul_add(V::Mul(r2, r2), mul_add(r, V::Set(kC5), V::Set(kC4)),
                        mul_add(r2, mul_add(r, V::Set(kC3), V::Set(kC2)), V::Add(tail, r)));
  return mul_add(scale, tmp, scale);
}

}  // namespace
}  // namespace platform
