// The noise-model flag of tessary: input 6 narrowed to one byte. Each
// platform's build narrows it its own way, and results must match that
// build, so all three narrowings live here and are tested on every platform.
#pragma once

#include <cstdint>

#include "truncate.h"

namespace contract {

// Linux: the low eight bits of the 32-bit truncation.
inline unsigned char RicianFlagLinux(double x) {
  return static_cast<unsigned char>(static_cast<uint32_t>(platform::TruncateToInt32(x)) & 0xFFu);
}

// Windows: the low eight bits of the 64-bit truncation.
inline unsigned char RicianFlagWindows(double x) {
  return static_cast<unsigned char>(static_cast<uint64_t>(platform::TruncateToInt64(x)) & 0xFFu);
}

// macOS: a boolean of the 32-bit truncation.
inline unsigned char RicianFlagMac(double x) { return platform::TruncateToInt32(x) != 0 ? 1 : 0; }

// The narrowing of the platform this is built for.
inline unsigned char RicianFlag(double x) {
#if defined(_WIN32)
  return RicianFlagWindows(x);
#elif defined(__APPLE__)
  return RicianFlagMac(x);
#else
  return RicianFlagLinux(x);
#endif
}

}  // namespace contract
