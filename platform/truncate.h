// Narrowing a double to an integer. The arithmetic is defined by the x86-64
// builds, so a value that does not fit behaves as it does there instead of
// being undefined.
//
// Internal linkage: the vector kernels include this and are compiled with
// wider instruction sets, and a shared inline copy must never be the one
// the baseline code ends up calling.
#pragma once

#include <cstdint>

namespace platform {

// Truncation toward zero as the x86 conversion instructions do it: a value
// that does not fit (or is not a number) gives the "integer indefinite", the
// most negative integer.
static inline int32_t TruncateToInt32(double x) {
  if (!(x > -2147483649.0 && x < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(x);
}

static inline int64_t TruncateToInt64(double x) {
  if (!(x >= -9223372036854775808.0 && x < 9223372036854775808.0)) return INT64_MIN;
  return static_cast<int64_t>(x);
}

}  // namespace platform
