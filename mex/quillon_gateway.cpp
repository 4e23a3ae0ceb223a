// quillon(noisy, sigma, rician[, coils]): the gateway. Its inputs into the contract
// (contract/quillon_contract.h), the host arrays of the call, and the
// contract's call of the core on each volume.
#include "gateway.h"
#include "host_arrays.h"
#include "interrupt_query.h"
#include "mex_host.h"
#include "quillon_contract.h"

namespace {

enum { IN_NOISY, IN_SIGMA, IN_RICIAN, IN_COILS };
enum { OUT_DENOISED, OUT_FIRST_ESTIMATE };

void Run(gateway::Call& call) {
  contract::QuillonCall q;
  contract::QuillonArguments arguments{call.In(IN_NOISY), call.In(IN_SIGMA), call.In(IN_RICIAN)};
  arguments.coils = call.In(IN_COILS);
  if (!contract::CheckQuillon(arguments, q, call.refusal))
    return;
  const contract::Series& s = q.series;
  // The outputs go into their slots at once, as the host expects.
  const int outputs = call.nlhs > OUT_FIRST_ESTIMATE ? 2 : 1;
  double* denoised = mexargs::NewDoubles(s.ndim, s.dims, &call.plhs[OUT_DENOISED]);
  double* first_estimate =
      outputs == 2 ? mexargs::NewDoubles(s.ndim, s.dims, &call.plhs[OUT_FIRST_ESTIMATE]) : nullptr;
  if (s.empty() || !mexargs::RoomForOutputCopies(call, outputs, s)) return;

  // One volume's scratch serves every volume of a series in turn; the bias
  // table exists only when it is read: with Rician noise.
  mexargs::ScratchArrays scratch;
  quillon::Request base;
  base.weights = scratch.New(3, s.volume_dims);
  base.accumulator = scratch.New(3, s.volume_dims);
  if (q.bias_table_doubles > 0) {
    const mwSize700 table_dims[2] = {1, static_cast<mwSize700>(q.bias_table_doubles)};
    base.bias_table = scratch.New(2, table_dims);
    base.bias_table_size = q.bias_table_doubles;
  }
  base.options.interrupt_query = mexhost::InterruptPendingQuery;
  contract::RunQuillon(q, base, denoised, first_estimate, call.refusal);
  scratch.Release();
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  gateway::Serve(contract::kQuillon, Run, nlhs, plhs, nrhs, prhs);
}
