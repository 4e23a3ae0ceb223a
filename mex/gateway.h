// The one skeleton of every gateway: the arity rule, one failure per call,
// one error call that prefixes the function's name, and the report of a
// core's status. A gateway is its input and output enums, its argument
// checks, the host arrays it creates and one call of its core:
//
//   enum { IN_NOISY, IN_SIGMA, IN_COUNT };
//   enum { OUT_DENOISED, OUT_COUNT };
//   constexpr gateway::Signature kSignature{"name", IN_COUNT, OUT_COUNT,
//                                           "name(noisy, sigma)", "[denoised]"};
//   void Run(gateway::Call& call) { ...checks...; call.Report(core::Denoise(request)); }
//   extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
//     gateway::Serve(kSignature, Run, nlhs, plhs, nrhs, prhs);
//   }
//
// The host's error call leaves the gateway without running C++ destructors
// (MATLAB and the stand-in host jump out of it), so a gateway never raises
// from inside its work: it records what went wrong in the call's Failure,
// returns, and Serve raises once every object of the work is gone.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "call.h"
#include "isa.h"
#include "mex_args.h"
#include "mex_host.h"

namespace gateway {

// What a gateway function is called and how many arguments it takes.
struct Signature {
  const char* name;     // the identifier prefix, "quillon"
  int inputs;           // exactly this many inputs
  int max_outputs;      // at most this many outputs
  const char* usage;    // "quillon(noisy, sigma, rician)"
  const char* outputs;  // "[denoised, first_estimate]"
};

// The first failure of a call: plain data, nothing to destroy when the
// host's error call leaves the frame that holds it.
struct Failure {
  bool failed = false;
  char id[96] = {};
  char message[512] = {};
};

class Call {
 public:
  Call(const Signature& signature, Failure& failure, int nlhs, mxArray** plhs, int nrhs,
       const mxArray** prhs)
      : signature_(signature), failure_(failure), nlhs(nlhs), plhs(plhs), nrhs(nrhs), prhs(prhs) {}

  // Records the failure "<name>:<what>" unless one is recorded already.
  void Fail(const char* what, const char* format, ...) __attribute__((format(printf, 3, 4))) {
    if (failure_.failed) return;
    failure_.failed = true;
    std::snprintf(failure_.id, sizeof failure_.id, "%s:%s", signature_.name, what);
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(failure_.message, sizeof failure_.message, format, ap);
    va_end(ap);
  }

  bool failed() const { return failure_.failed; }

  // Records the failure a core's status stands for; nothing for kOk.
  void Report(platform::Status status, platform::Isa isa = platform::Isa::kAuto) {
    const platform::StatusReport report = platform::ReportOf(status, isa);
    if (report.what == nullptr) return;
    if (status == platform::Status::kThreadsFailed) mexPrintf("Threads cannot be created\n");
    Fail(report.what, "%s", report.message);
  }

  const Signature& signature() const { return signature_; }

 private:
  const Signature& signature_;
  Failure& failure_;

 public:
  const int nlhs;
  mxArray** const plhs;
  const int nrhs;
  const mxArray** const prhs;
};

// The arity rule of every gateway: exactly `inputs` inputs, at most
// `max_outputs` outputs.
inline bool CheckArity(Call& call) {
  const Signature& s = call.signature();
  if (call.nrhs != s.inputs) {
    call.Fail("nargin", "%s takes %d inputs, %s; got %d.", s.name, s.inputs, s.usage, call.nrhs);
    return false;
  }
  if (call.nlhs > s.max_outputs) {
    call.Fail("nargout", "%s returns at most %d output%s, %s; %d requested.", s.name,
              s.max_outputs, s.max_outputs == 1 ? "" : "s", s.outputs, call.nlhs);
    return false;
  }
  return true;
}

// The Rician flag of quillon and noise_sigma, input `input`: a real numeric
// scalar whose truncation fits in 32 bits, left in `flag`. A flag that
// truncates to a positive integer declares Rician noise.
inline bool CheckRicianFlag(Call& call, int input, double& flag) {
  if (!mexargs::IsRealScalar(call.prhs[input])) {
    call.Fail("rician",
              "The Rician flag (input %d) must be a real numeric scalar: 1 for Rician noise, 0 "
              "for Gaussian noise.",
              input + 1);
    return false;
  }
  flag = mxGetScalar(call.prhs[input]);
  if (!mexargs::TruncatesToInt32(flag)) {
    call.Fail("rician",
              "The Rician flag (input %d) must be a number within the 32-bit integer range; "
              "got %g.",
              input + 1, flag);
    return false;
  }
  return true;
}

// One call of a gateway: the arity rule, then run(call); raises the
// recorded failure after run has returned and released what it held.
inline void Serve(const Signature& signature, void (*run)(Call&), int nlhs, mxArray* plhs[],
                  int nrhs, const mxArray* prhs[]) {
  Failure failure;
  {
    Call call(signature, failure, nlhs, plhs, nrhs, prhs);
    if (CheckArity(call)) run(call);
  }
  if (failure.failed) mexErrMsgIdAndTxt(failure.id, "%s", failure.message);
}

}  // namespace gateway
