// A bound that spares the oracle pass most of its work where the first
// estimate is smooth: whether a block's forward transform is sure to leave
// every coefficient but the first below a threshold, from the first
// coefficient and two sums over the block's row-stage values alone.
//
// Written against the lane vocabulary (platform/lanes.h); included by the
// kernel files through block_kernel.h, and by its test.
#pragma once

namespace quillon {
namespace {

// The lanes whose first estimate is sure to keep no coefficient but the
// first, from that coefficient (dc) and the sums of squares and magnitudes
// of the block's row-stage values. The column and slice stages are
// orthonormal, so the other 63 coefficients hold together no more than the
// squares less the first's square; `margin`, 2^-40 of the magnitudes, is
// thousands of times any rounding of the stages, and 2^-36 of their square
// any rounding of this bound. Every coefficient whose bound lies below the
// threshold by more than the margin is below it as the forward transform
// makes it. Not a number anywhere gives false.
template <class V>
inline typename V::M OnlyDcSurvives(typename V::D dc, typename V::D squares,
                                    typename V::D magnitudes, typename V::D threshold) {
  using reg = typename V::D;
  const reg margin = V::Mul(magnitudes, V::Set(0x1p-40));
  const reg above = V::Sub(V::Abs(dc), margin);
  const reg least_dc = V::Select(V::Greater(above, V::Zero()), above, V::Zero());
  const reg rest = V::Add(V::Add(V::Sub(squares, V::Mul(least_dc, least_dc)),
                                 V::Mul(V::Mul(magnitudes, magnitudes), V::Set(0x1p-36))),
                          V::Set(0x1p-1000));
  const reg room = V::Sub(threshold, V::Add(margin, margin));
  const reg room_squared = V::Mul(V::Mul(room, room), V::Set(1.0 - 0x1p-36));
  return V::And(V::Greater(room, V::Zero()), V::Less(rest, room_squared));
}

}  // namespace
}  // namespace quillon
