// tessary(noisy, radius, extra, sigma, guide, rician[, coils]): the gateway. Its
// inputs into the contract (contract/tessary_contract.h), the host arrays of
// the call, and the contract's call of the core on each volume.
#include "gateway.h"
#include "host_arrays.h"
#include "interrupt_query.h"
#include "mex_host.h"
#include "tessary_contract.h"

namespace {

enum { IN_NOISY, IN_RADIUS, IN_EXTRA, IN_SIGMA, IN_GUIDE, IN_RICIAN, IN_COILS };
enum { OUT_DENOISED };

void Run(gateway::Call& call) {
  contract::TessaryCall t;
  if (!contract::CheckTessary({call.In(IN_NOISY), call.In(IN_RADIUS), call.In(IN_EXTRA),
                               call.In(IN_SIGMA), call.In(IN_GUIDE), call.In(IN_RICIAN),
                               call.In(IN_COILS)},
                              t, call.refusal))
    return;
  const contract::Series& s = t.series;
  double* denoised = mexargs::NewDoubles(s.ndim, s.dims, &call.plhs[OUT_DENOISED]);
  // An empty array comes back empty, in the input's shape.
  if (s.empty() || !mexargs::RoomForOutputCopies(call, 1, s)) return;

  // One volume's scratch serves every volume of a series in turn.
  mexargs::ScratchArrays scratch;
  tessary::Request base;
  base.local_mean = scratch.New(3, s.volume_dims);
  base.weights = scratch.New(3, s.volume_dims);
  base.options.interrupt_query = mexhost::InterruptPendingQuery;
  contract::RunTessary(t, base, denoised, call.refusal);
  scratch.Release();
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  gateway::Serve(contract::kTessary, Run, nlhs, plhs, nrhs, prhs);
}
