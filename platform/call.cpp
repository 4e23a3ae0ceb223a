#include "call.h"

#include <cstdio>

#include "threads.h"

namespace platform {

const char* StatusName(Status status) {
  switch (status) {
    case Status::kOk: return "ok";
    case Status::kInvalidRequest: return "invalid request";
    case Status::kValueRange: return "value out of range";
    case Status::kIsaUnavailable: return "instruction set unavailable";
    case Status::kOutOfMemory: return "out of memory";
    case Status::kThreadsFailed: return "threads failed";
    case Status::kInterrupted: return "interrupted";
  }
  return "unknown";
}

StatusReport ReportOf(Status status, Isa isa) {
  StatusReport report;
  auto text = [&report](const char* what, const char* lead, const char* detail = "",
                        const char* tail = "") {
    report.what = what;
    std::snprintf(report.message, sizeof report.message, "%s%s%s", lead, detail, tail);
    return report;
  };
  switch (status) {
    case Status::kOk:
      return report;
    case Status::kThreadsFailed:
      if (LastStartLackedMemory())
        return text("memory", "Not enough memory for a worker thread's stack; the call was "
                    "abandoned.");
      return text("threads", "A worker thread could not be started; the call was abandoned.");
    case Status::kOutOfMemory:
      return text("memory", "Not enough memory for the call's working buffers.");
    case Status::kIsaUnavailable:
      return text("isa", IsaRefusal(isa));
    case Status::kInterrupted:
      return text("interrupted", "Interrupted (Ctrl-C); the call returned no result.");
    case Status::kInvalidRequest:
    case Status::kValueRange:
      break;
  }
  return text("internal", "The core refused the call (", StatusName(status), ").");
}

}  // namespace platform
