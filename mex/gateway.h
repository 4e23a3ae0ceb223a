// The one skeleton of every gateway: the arity rule, one refusal per call,
// and the host's error call once the work is over. A gateway reads its
// inputs into the contract (contract/), creates the host arrays of the
// outputs and runs the contract's call:
//
//   enum { IN_NOISY, IN_SIGMA, IN_COUNT };
//   void Run(gateway::Call& call) {
//     contract::NameCall c;
//     if (!contract::CheckName({call.In(IN_NOISY), call.In(IN_SIGMA)}, c, call.refusal)) return;
//     ...outputs, scratch...; contract::RunName(c, base, out, call.refusal);
//   }
//   extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
//     gateway::Serve(contract::kName, Run, nlhs, plhs, nrhs, prhs);
//   }
//
// The host's error call leaves the gateway without running C++ destructors
// (MATLAB and the stand-in host jump out of it), so a gateway never raises
// from inside its work: the contract records what went wrong in the call's
// Refusal, the gateway returns, and Serve raises once every object of the
// work is gone.
#pragma once

#include "mex_args.h"
#include "mex_host.h"
#include "refusal.h"

namespace gateway {

struct Call {
  const contract::Signature& signature;
  contract::Refusal& refusal;
  const int nlhs;
  mxArray** const plhs;
  const int nrhs;
  const mxArray** const prhs;

  // Input k as the contract reads it; absent past the inputs passed.
  contract::Argument In(int k) const {
    return mexargs::ArgumentOf(k < nrhs ? prhs[k] : nullptr);
  }
  bool failed() const { return refusal.refused; }
};

// One call of a gateway: the arity rule, then run(call); raises the
// recorded refusal after run has returned and released what it held.
inline void Serve(const contract::Signature& signature, void (*run)(Call&), int nlhs,
                  mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  contract::Refusal refusal;
  if (contract::CheckArity(signature, nrhs, nlhs, refusal)) {
    Call call{signature, refusal, nlhs, plhs, nrhs, prhs};
    run(call);
  }
  if (!refusal.refused) return;
  if (refusal.worker_start_failed) mexPrintf("Threads cannot be created\n");
  mexErrMsgIdAndTxt(refusal.id, "%s", refusal.message);
}

}  // namespace gateway
