// libmex: printing, errors and the call itself.
//
// A gateway's error leaves it by longjmp back into Call, never by a C++
// exception: the gateway is built against its own C++ runtime, and an
// exception cannot cross into ours. The gateways promise that no object with
// a destructor is alive in their frames when they raise.
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "registry.h"
#include "standin_host.h"

namespace {

// One active call. Lives in Call's frame.
struct Frame {
  std::jmp_buf jump;
  std::thread::id thread;
  std::string id;
  std::string message;
  std::string printed;
};

// Guards the frame stack and the captured text; gateways may print from
// worker threads while the call's thread holds the call lock.
std::mutex& StateMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::vector<Frame*>& Frames() {
  static std::vector<Frame*>* frames = new std::vector<Frame*>;
  return *frames;
}

// Serialises calls, while letting a gateway's own nested call through.
std::recursive_mutex& CallMutex() {
  static std::recursive_mutex* m = new std::recursive_mutex;
  return *m;
}

std::string Format(const char* format, va_list args) {
  if (format == nullptr) return {};
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<std::size_t>(n));
  return text;
}

// Stores the error in the innermost frame and returns it, or, with no call
// to return to, reports the error and returns null. All objects with
// destructors end here, before the caller jumps.
Frame* RecordError(const char* id, const char* format, va_list args) {
  std::string message = Format(format, args);
  std::lock_guard<std::mutex> lock(StateMutex());
  Frame* frame = Frames().empty() ? nullptr : Frames().back();
  if (frame != nullptr && frame->thread != std::this_thread::get_id()) {
    // Jumping to another thread's stack cannot work; this is a gateway bug.
    std::fprintf(stderr, "error raised outside the calling thread: ");
    frame = nullptr;
  }
  if (frame == nullptr) {
    std::fprintf(stderr, "%s: %s\n", id ? id : "", message.c_str());
    std::fflush(stderr);
    return nullptr;
  }
  frame->id = id ? id : "";
  frame->message = std::move(message);
  return frame;
}

[[noreturn]] void RaiseFromHost(const char* id, const char* message) {
  mexErrMsgIdAndTxt(id, "%s", message);
}

// Runs the gateway under the frame's jump buffer. Nothing here has a
// destructor, and nothing changes between setjmp and a longjmp.
bool Invoke(Frame* frame, standin::MexFunction fn, int nlhs, mxArray** plhs, int nrhs,
            const mxArray** prhs) {
  if (setjmp(frame->jump) != 0) return false;
  fn(nlhs, plhs, nrhs, prhs);
  return true;
}

}  // namespace

extern "C" {

int mexPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  std::lock_guard<std::mutex> lock(StateMutex());
  if (!Frames().empty()) Frames().back()->printed += text;
  return static_cast<int>(text.size());
}

void mexErrMsgIdAndTxt(const char* id, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Frame* frame = RecordError(id, format, args);
  va_end(args);
  if (frame == nullptr) std::abort();
  std::longjmp(frame->jump, 1);
}

}  // extern "C"

namespace standin {

CallResult Call(MexFunction fn, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  std::lock_guard<std::recursive_mutex> serial(CallMutex());
  CallResult result;
  if (fn == nullptr || nlhs < 0 || nrhs < 0 || (nlhs > 0 && plhs == nullptr)) {
    result.id = "standin:badCall";
    result.message = "no gateway, or a negative or missing argument list";
    return result;
  }
  detail::SetFailureHandler(&RaiseFromHost);

  // The gateway writes into the host's own output slots; the caller's array
  // receives only what survives the call.
  const std::size_t slots = nlhs > 0 ? static_cast<std::size_t>(nlhs) : 1;
  std::vector<mxArray*> out(slots, nullptr);
  Frame frame;
  frame.thread = std::this_thread::get_id();
  const std::uint64_t scope = detail::OpenScope();
  {
    std::lock_guard<std::mutex> lock(StateMutex());
    Frames().push_back(&frame);
  }
  const bool returned = Invoke(&frame, fn, nlhs, out.data(), nrhs, prhs);
  {
    std::lock_guard<std::mutex> lock(StateMutex());
    Frames().pop_back();
  }

  result.printed = std::move(frame.printed);
  result.ok = returned;
  if (!returned) {
    result.id = std::move(frame.id);
    result.message = std::move(frame.message);
  }

  std::vector<mxArray*> keep;
  if (result.ok) {
    std::unordered_set<const mxArray*> taken;
    for (std::size_t i = 0; i < slots && result.ok; ++i) {
      if (out[i] == nullptr) continue;
      if (plhs == nullptr) break;  // nowhere to return it: reclaimed
      switch (detail::OwnerOf(out[i], scope)) {
        case detail::Owner::kNotAnArray:
          result.ok = false;
          result.id = "standin:invalidOutput";
          result.message = "output " + std::to_string(i + 1) + " is not an array of the host";
          break;
        case detail::Owner::kScope:
          if (taken.insert(out[i]).second) break;
          [[fallthrough]];  // the same array twice: the second slot gets a copy
        case detail::Owner::kOther:
          out[i] = detail::TryDuplicate(out[i]);
          if (out[i] == nullptr) {
            result.ok = false;
            result.id = "standin:outOfMemory";
            result.message = "cannot copy output " + std::to_string(i + 1);
          }
          break;
      }
      if (result.ok) keep.push_back(out[i]);
    }
    if (!result.ok) keep.clear();
  }

  const detail::Reclaimed reclaimed = detail::CloseScope(scope, keep);
  result.arrays_left = reclaimed.arrays;
  result.blocks_left = reclaimed.blocks;
  if (plhs != nullptr)
    for (std::size_t i = 0; i < slots; ++i) plhs[i] = result.ok ? out[i] : nullptr;
  return result;
}

}  // namespace standin
