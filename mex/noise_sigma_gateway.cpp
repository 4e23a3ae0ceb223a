// noise_sigma(volume, rician): the gateway. Its inputs into the contract
// (contract/noise_sigma_contract.h), the result row, and the contract's
// estimate of each 3-D volume of the array.
#include "gateway.h"
#include "host_arrays.h"
#include "interrupt_query.h"
#include "mex_host.h"
#include "noise_sigma_contract.h"

namespace {

enum { IN_VOLUME, IN_RICIAN };
enum { OUT_SIGMA };

void Run(gateway::Call& call) {
  contract::NoiseSigmaCall n;
  if (!contract::CheckNoiseSigma({call.In(IN_VOLUME), call.In(IN_RICIAN)}, n, call.refusal))
    return;
  // One sigma per volume, a row vector ready for the filters.
  const mwSize700 out_dims[2] = {1, static_cast<mwSize700>(n.volumes)};
  double* sigmas = mexargs::NewDoubles(2, out_dims, &call.plhs[OUT_SIGMA]);
  noise_sigma::Request base;
  base.options.interrupt_query = mexhost::InterruptPendingQuery;
  contract::RunNoiseSigma(n, base, sigmas, call.refusal);
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  gateway::Serve(contract::kNoiseSigma, Run, nlhs, plhs, nrhs, prhs);
}
