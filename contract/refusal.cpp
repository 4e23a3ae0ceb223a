#include "refusal.h"

#include <cstdarg>
#include <cstdio>

#include "threads.h"

namespace contract {

bool Refuse(Refusal& refusal, const char* name, const char* what, Fault fault,
            const char* format, ...) {
  if (refusal.refused) return false;
  refusal.refused = true;
  refusal.fault = fault;
  std::snprintf(refusal.id, sizeof refusal.id, "%s:%s", name, what);
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(refusal.message, sizeof refusal.message, format, ap);
  va_end(ap);
  return false;
}

bool CheckArity(const Signature& s, int inputs, int outputs, Refusal& refusal) {
  if (s.optional_inputs > 0 && (inputs < s.inputs || inputs > s.inputs + s.optional_inputs)) {
    return Refuse(refusal, s.name, "nargin", Fault::kValue,
                  "%s takes %d to %d inputs, %s; got %d.", s.name, s.inputs,
                  s.inputs + s.optional_inputs, s.usage, inputs);
  }
  if (s.optional_inputs == 0 && inputs != s.inputs) {
    return Refuse(refusal, s.name, "nargin", Fault::kValue, "%s takes %d inputs, %s; got %d.",
                  s.name, s.inputs, s.usage, inputs);
  }
  if (outputs > s.max_outputs) {
    return Refuse(refusal, s.name, "nargout", Fault::kValue,
                  "%s returns at most %d output%s, %s; %d requested.", s.name, s.max_outputs,
                  s.max_outputs == 1 ? "" : "s", s.outputs, outputs);
  }
  return true;
}

bool ReportStatus(const Signature& s, platform::Status status, platform::Isa isa,
                  Refusal& refusal) {
  using platform::Status;
  const auto report = [&](const char* what, Fault fault, const char* text) {
    Refuse(refusal, s.name, what, fault, "%s", text);
    return true;
  };
  switch (status) {
    case Status::kOk:
      return false;
    case Status::kThreadsFailed:
      if (!refusal.refused) refusal.worker_start_failed = true;
      // A stack that did not fit (an address-space limit such as ulimit -v)
      // is memory, whatever the thread call said.
      if (platform::LastStartLackedMemory())
        return report("memory", Fault::kMemory,
                      "Not enough memory for a worker thread's stack; the call was abandoned.");
      return report("threads", Fault::kThreads,
                    "A worker thread could not be started; the call was abandoned.");
    case Status::kOutOfMemory:
      return report("memory", Fault::kMemory, "Not enough memory for the call's working buffers.");
    case Status::kIsaUnavailable:
      return report("isa", Fault::kOther, platform::IsaRefusal(isa));
    case Status::kInterrupted:
      return report("interrupted", Fault::kInterrupted,
                    "Interrupted (Ctrl-C); the call returned no result.");
    case Status::kInvalidRequest:
    case Status::kValueRange:
    case Status::kTooLittleData:
      break;
  }
  Refuse(refusal, s.name, "internal", Fault::kOther, "The core refused the call (%s).",
         platform::StatusName(status));
  return true;
}

}  // namespace contract
