#include "call.h"

#include <cstdio>

namespace platform {

const char* StatusName(Status status) {
  switch (status) {
    case Status::kOk: return "ok";
    case Status::kInvalidRequest: return "invalid request";
    case Status::kValueRange: return "value out of range";
    case Status::kIsaUnavailable: return "instruction set unavailable";
    case Status::kOutOfMemory: return "out of memory";
    case Status::kThreadsFailed: return "threads failed";
  }
  return "unknown";
}

StatusReport ReportOf(Status status, Isa isa) {
  StatusReport report;
  auto text = [&report](const char* what, const char* format, const char* detail) {
    report.what = what;
    std::snprintf(report.message, sizeof report.message, format, detail);
    return report;
  };
  switch (status) {
    case Status::kOk:
      return report;
    case Status::kThreadsFailed:
      return text("threads", "%s", "A worker thread could not be started; the call was abandoned.");
    case Status::kOutOfMemory:
      return text("memory", "%s", "Not enough memory for the call's working buffers.");
    case Status::kIsaUnavailable:
      return text("isa", "%s", IsaRefusal(isa));
    case Status::kInvalidRequest:
    case Status::kValueRange:
      break;
  }
  return text("internal", "The core refused the call (%s).", StatusName(status));
}

}  // namespace platform
