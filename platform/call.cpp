#include "call.h"

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
    case Status::kTooLittleData: return "too little data";
  }
  return "unknown";
}

}  // namespace platform
