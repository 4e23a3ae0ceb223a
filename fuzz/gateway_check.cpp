#include "gateway_check.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "threads.h"

namespace fuzzargs {
namespace {

struct Outcome {
  standin::CallResult result;
  std::vector<mxArray*> out;
  explicit Outcome(int nlhs) : out(static_cast<std::size_t>(std::max(nlhs, 1)), nullptr) {}
  ~Outcome() {
    for (mxArray* a : out) standin::Destroy(a);
  }
  Outcome(const Outcome&) = delete;
  Outcome& operator=(const Outcome&) = delete;
};

[[noreturn]] void Violation(const CallSpec& described, const std::string& what) {
  std::fprintf(stderr, "\ngateway rule broken: %s\ncall: %s", what.c_str(), Describe(described).c_str());
  std::fflush(stderr);
  std::abort();
}

void Run(const Gateway& g, const CallSpec& described, Inputs& in, int fault, Outcome& o) {
  platform::FailThreadStartAfter(fault);
  o.result = standin::Call(g.fn, described.nlhs, o.out.data(), in.count(), in.data());
  platform::FailThreadStartAfter(-1);
}

std::vector<std::uint8_t> Bits(const mxArray* a) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(mxGetPr(a));
  return std::vector<std::uint8_t>(p, p + mxGetNumberOfElements(a) * sizeof(double));
}

// The dimensions output k of a call with this input 1 must have.
std::vector<int> OutputDims(const Gateway& g, const mxArray* input, std::size_t k) {
  const std::vector<int> dims = standin::Dimensions(input);
  if (g.outputs == Outputs::kLikeInput1) return dims;
  long long volumes = 1;
  for (std::size_t d = 3; d < dims.size(); ++d) volumes *= dims[d];
  return {k > 0 && g.info_rows > 0 ? g.info_rows : 1, static_cast<int>(volumes)};
}

// The shape rules of a call that returned.
void CheckResult(const Gateway& g, const CallSpec& described, const Inputs& in, const Outcome& o) {
  if (described.nlhs > g.signature.max_outputs) Violation(described, "more outputs than the gateway returns were granted");
  if (in.count() == 0) Violation(described, "a call without inputs returned");
  for (std::size_t k = 0; k < o.out.size(); ++k) {
    const std::vector<int> dims = OutputDims(g, in.at(0), k);
    const mxArray* a = o.out[k];
    if (a == nullptr) {
      if (static_cast<int>(k) < described.nlhs) Violation(described, "output " + std::to_string(k + 1) + " missing");
      continue;
    }
    if (standin::ClassOf(a) != mxDOUBLE_CLASS || mxIsComplex(a) || mxIsSparse(a))
      Violation(described, "output " + std::to_string(k + 1) + " is not a real double array");
    if (standin::Dimensions(a) != dims)
      Violation(described, "output " + std::to_string(k + 1) + " has not the dimensions its input 1 asks for");
  }
}

// The <what> of an identifier "<name>:<what>" of the gateway's, or empty
// for anybody else's.
std::string WhatOf(const Gateway& g, const std::string& id) {
  const std::string prefix = std::string(g.signature.name) + ":";
  return id.compare(0, prefix.size(), prefix) == 0 ? id.substr(prefix.size()) : std::string();
}

// Whether `what` is in a null-terminated list of the signature's.
bool Listed(const char* const* whats, const std::string& what) {
  for (; *whats != nullptr; ++whats)
    if (what == *whats) return true;
  return false;
}

void CheckError(const Gateway& g, const CallSpec& described, const Outcome& o, bool fault_armed) {
  const std::string& id = o.result.id;
  const std::string what = WhatOf(g, id);
  if (what.empty())
    Violation(described, "error '" + id + "' is not one of " + g.signature.name + "'s: " + o.result.message);
  if (!Listed(g.signature.whats, what))
    Violation(described, "unknown identifier " + id);
  if (what == "threads" && !fault_armed) Violation(described, "worker start failed without a fault");
  if (o.result.message.empty()) Violation(described, "error " + id + " without a message");
  for (const mxArray* a : o.out)
    if (a != nullptr) Violation(described, "a failed call handed back an output");
}

}  // namespace

namespace {

// Whether task `tid` of this process is alive and not on its way out. A
// joined thread's task can still be listed for a moment: the kernel wakes
// the joiner before it removes the task, but it marks the task as exiting
// (PF_EXITING in the flags of its stat) before either.
bool Running(const char* tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%s/stat", tid);
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return false;  // gone already
  char line[1024];
  const bool read = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  if (!read) return false;
  const char* p = std::strrchr(line, ')');  // the name may hold spaces
  if (p == nullptr) return true;
  char state = 0;
  unsigned long flags = 0;
  if (std::sscanf(p + 1, " %c %*d %*d %*d %*d %*d %lu", &state, &flags) != 2) return true;
  constexpr unsigned long kExiting = 0x4;  // PF_EXITING
  return state != 'Z' && state != 'X' && (flags & kExiting) == 0;
}

}  // namespace

int ThreadCount() {
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int n = 0;
  while (const dirent* e = readdir(dir))
    if (e->d_name[0] != '.' && Running(e->d_name)) ++n;
  closedir(dir);
  return n;
}

// A sanitizer's runtime starts its own helper thread with the process's
// first thread; one thread started and joined before any count keeps it out
// of the counts.
void StartRuntimeHelpers() {
  static const bool started = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)started;
}

void CheckOneCall(const Gateway& g, const std::uint8_t* data, std::size_t size, const Limits& limits) {
  StartRuntimeHelpers();
  const CallSpec described = Decode(data, size, limits);
  const std::size_t arrays_before = standin::LiveArrays();
  const std::size_t blocks_before = standin::LiveBlocks();
  const int threads_before = ThreadCount();
  {
    Inputs in(described);
    // An array the host refuses to make (an empty one whose other extents
    // multiply past its size limit) is no call a user can make.
    for (int k = 0; k < in.count(); ++k)
      if (in.at(k) == nullptr) return;
    const std::vector<std::uint8_t> before = in.Snapshot();

    // With a fault to inject, the call without it first: the reference.
    const bool armed = described.fault != kNoFault;
    Outcome reference(described.nlhs);
    if (armed) Run(g, described, in, kNoFault, reference);

    Outcome first(described.nlhs);
    Run(g, described, in, described.fault, first);
    if (ThreadCount() != threads_before) Violation(described, "a worker thread outlived the call");
    if (first.result.blocks_left != 0) Violation(described, "the call left host blocks behind");
    if (in.Snapshot() != before) Violation(described, "the call changed an input");
    if (first.result.ok)
      CheckResult(g, described, in, first);
    else
      CheckError(g, described, first, armed);
    const bool failed_for_worker = !first.result.ok && first.result.id == std::string(g.signature.name) + ":threads";
    // Arguments are checked before any worker starts: a fault changes only
    // whether a valid call completes, or the work finds its data wanting.
    const std::string work = reference.result.ok ? std::string() : WhatOf(g, reference.result.id);
    const bool found_by_work =
        !work.empty() && Listed(g.signature.found_by_work, work);
    if (armed && !reference.result.ok && first.result.id != reference.result.id &&
        !(found_by_work && failed_for_worker))
      Violation(described, "the fault changed the error from " + reference.result.id + " to " + first.result.id);
    if (armed && reference.result.ok && !first.result.ok && !failed_for_worker)
      Violation(described, "a valid call failed with " + first.result.id + " under a fault");

    // The same call again, with no fault: it works, with the bits of a call
    // that never failed.
    const Outcome* expected = armed ? (reference.result.ok ? &reference : nullptr)
                                    : (first.result.ok ? &first : nullptr);
    if (expected != nullptr) {
      Outcome again(described.nlhs);
      Run(g, described, in, kNoFault, again);
      if (!again.result.ok) Violation(described, "the repeated call failed: " + again.result.id);
      CheckResult(g, described, in, again);
      const Outcome* compared[] = {&again, first.result.ok ? &first : nullptr};
      for (const Outcome* o : compared) {
        if (o == nullptr || o == expected) continue;
        for (std::size_t k = 0; k < o->out.size(); ++k) {
          const mxArray* a = o->out[k];
          const mxArray* e = expected->out[k];
          if ((a == nullptr) != (e == nullptr) || (a != nullptr && Bits(a) != Bits(e)))
            Violation(described, "output " + std::to_string(k + 1) + " differs between two equal calls");
        }
      }
      if (in.Snapshot() != before) Violation(described, "the repeated call changed an input");
    }
  }
  if (standin::LiveArrays() != arrays_before) Violation(described, "arrays outlived the call");
  if (standin::LiveBlocks() != blocks_before) Violation(described, "host blocks outlived the call");
  if (ThreadCount() != threads_before) Violation(described, "a thread outlived the call");
}

}  // namespace fuzzargs
