// The driver's one extra knob, for the tests: how the workers run.
#pragma once

#include "quillon.h"
#include "threads.h"

namespace quillon {

// Denoise with the workers run as `schedule` says; kOneAfterAnother is the
// reference that threaded runs must match bit for bit.
Status Denoise(const Request& request, platform::Schedule schedule) noexcept;

}  // namespace quillon
