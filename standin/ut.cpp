// libut's interrupt flag, as the host keeps it: the host sets it when the
// user presses Ctrl-C, and a long-running MEX function asks for it to give
// up early. Gateways find the query at run time (mex/interrupt_query.h), so
// this library is loaded by whoever plays the host, never linked by a MEX
// file.
#include <atomic>

#include "standin_host.h"

namespace {
// Lock-free, so a signal handler may set it.
std::atomic<bool> pending{false};
static_assert(std::atomic<bool>::is_always_lock_free);
}  // namespace

extern "C" MEX_EXPORT bool utIsInterruptPending(void) { return pending.load(); }

extern "C" MEX_EXPORT bool utSetInterruptPending(bool value) { return pending.exchange(value); }
