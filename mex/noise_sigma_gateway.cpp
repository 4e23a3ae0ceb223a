// noise_sigma(volume, rician[, coils]): the gateway. Its inputs into the contract
// (contract/noise_sigma_contract.h), the result row and, with a second
// output, the series' diagnostics (one column per volume), and the
// contract's estimate of each 3-D volume of the array.
#include "gateway.h"
#include "host_arrays.h"
#include "interrupt_query.h"
#include "mex_host.h"
#include "noise_sigma_contract.h"

namespace {

enum { IN_VOLUME, IN_RICIAN, IN_COILS };
enum { OUT_SIGMA, OUT_INFO };

void Run(gateway::Call& call) {
  contract::NoiseSigmaCall n;
  contract::NoiseSigmaArguments arguments{call.In(IN_VOLUME), call.In(IN_RICIAN)};
  arguments.coils = call.In(IN_COILS);
  if (!contract::CheckNoiseSigma(arguments, n, call.refusal)) return;
  // One sigma per volume, a row vector ready for the filters.
  const mwSize700 out_dims[2] = {1, static_cast<mwSize700>(n.volumes)};
  double* sigmas = mexargs::NewDoubles(2, out_dims, &call.plhs[OUT_SIGMA]);
  noise_sigma::Request base;
  base.options.interrupt_query = mexhost::InterruptPendingQuery;
  if (call.nlhs <= OUT_INFO) {
    contract::RunNoiseSigma(n, base, sigmas, call.refusal);
    return;
  }
  const mwSize700 info_dims[2] = {contract::kNoiseSigmaInfoRows, static_cast<mwSize700>(n.volumes)};
  double* info = mexargs::NewDoubles(2, info_dims, &call.plhs[OUT_INFO]);
  contract::RunNoiseSigmaInfo(n, base, sigmas, info, call.refusal);
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  gateway::Serve(contract::kNoiseSigma, Run, nlhs, plhs, nrhs, prhs);
}
