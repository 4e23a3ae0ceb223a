// quillon(noisy, sigma, rician): the gateway. Argument checks, the host
// arrays of the call, and one call of the core (quillon.h) per volume.
#include <cstdint>

#include "gateway.h"
#include "interrupt_query.h"
#include "host_arrays.h"
#include "mex_args.h"
#include "mex_host.h"
#include "quillon.h"
#include "rician_bias.h"
#include "series.h"

namespace {

enum { IN_NOISY, IN_SIGMA, IN_RICIAN, IN_COUNT };
enum { OUT_DENOISED, OUT_FIRST_ESTIMATE, OUT_COUNT };

constexpr gateway::Signature kSignature{"quillon", IN_COUNT, OUT_COUNT,
                                        "quillon(noisy, sigma, rician)",
                                        "[denoised, first_estimate]"};

// A 4x4x4 block must fit: a thinner volume has no block to denoise.
constexpr int kMinimumSide = 4;

bool CheckSides(gateway::Call& call, const mexargs::Series& s) {
  static const char* const kNames[3][2] = {{"row", "rows"}, {"column", "columns"},
                                           {"slice", "slices"}};
  for (int d = 0; d < 3; ++d) {
    const int side = s.volume_dims[d];
    if (side < kMinimumSide) {
      char shape[96];
      mexargs::FormatDims(shape, sizeof shape, s.ndim, s.dims);
      call.Fail("size",
                "The volume (input 1) is %s: it has %d %s, and quillon needs at least %d rows, "
                "%d columns and %d slices (the side of its 4x4x4 blocks).",
                shape, side, kNames[d][side == 1 ? 0 : 1], kMinimumSide, kMinimumSide,
                kMinimumSide);
      return false;
    }
  }
  return true;
}

// The doubles of the largest bias table any volume needs, or -1 after
// failing quillon:range for the first volume too bright for a table.
int64_t BiasTableDoubles(gateway::Call& call, const mexargs::Series& s,
                         quillon::Request request) {
  int64_t largest_table = 0;
  const double* first = request.noisy;
  for (std::size_t k = 0; k < s.volumes; ++k) {
    request.noisy = first + k * s.voxels;
    const int64_t size = quillon::BiasTableSize(request);
    if (size < 0) {
      char which[48] = "";
      if (s.volumes > 1) std::snprintf(which, sizeof which, " of volume %zu", k + 1);
      call.Fail("range",
                "With Rician noise the largest voxel value%s must be at most %.0f (it is %g); "
                "scale the volume (and sigma) down.",
                which, quillon::kLargestRicianValue, quillon::LargestValue(request.noisy, static_cast<int64_t>(s.voxels)));
      return -1;
    }
    if (size > largest_table) largest_table = size;
  }
  return largest_table;
}

void Run(gateway::Call& call) {
  const mxArray* noisy = call.prhs[IN_NOISY];
  if (!mexargs::IsRealDoubleArray(noisy)) {
    return call.Fail("volume",
                     "The noisy volume (input 1) must be a real, full double array: a volume "
                     "[rows, cols, slices], or a series of them along the fourth and later "
                     "dimensions.");
  }
  mexargs::Series series;
  if (!mexargs::ReadSeries(call, noisy, series)) return;
  mexargs::SigmaList sigma;
  if (!mexargs::ReadSigma(call.prhs[IN_SIGMA], series, sigma)) {
    return call.Fail("sigma",
                     "sigma (input 2) must be a real numeric scalar, or a double array of one "
                     "value per volume (%zu): the noise standard deviation, in the units of "
                     "the voxel values.",
                     series.volumes);
  }
  double flag = 0.0;
  if (!gateway::CheckRicianFlag(call, IN_RICIAN, flag)) return;
  const int64_t unsound = mexargs::FirstUnsoundSigma(sigma, series, false);
  if (unsound >= 0) {
    char which[48];
    return call.Fail("sigma",
                     "sigma (input 2) must be a finite number of at least 0 (0: no noise); got "
                     "%g%s.",
                     sigma[unsound], mexargs::VolumeLabel(which, sizeof which, sigma, unsound));
  }
  if (!series.empty() && !CheckSides(call, series)) return;

  quillon::Request request;
  request.rows = series.rows();
  request.cols = series.cols();
  request.slices = series.slices();
  request.noisy = mxGetPr(noisy);
  request.rician = static_cast<int>(flag);
  const int64_t bias_size = series.empty() ? 0 : BiasTableDoubles(call, series, request);
  if (bias_size < 0) return;

  request.options.interrupt_query = mexhost::InterruptPendingQuery;
  // The outputs go into their slots at once, as the host expects.
  const int outputs = call.nlhs > OUT_FIRST_ESTIMATE ? 2 : 1;
  double* denoised = mexargs::NewDoubles(series.ndim, series.dims, &call.plhs[OUT_DENOISED]);
  double* first_estimate = nullptr;
  if (outputs == 2) {
    first_estimate =
        mexargs::NewDoubles(series.ndim, series.dims, &call.plhs[OUT_FIRST_ESTIMATE]);
  }
  if (series.empty()) return;
  const double output_bytes = 8.0 * outputs * static_cast<double>(series.voxels) *
                              static_cast<double>(series.volumes);
  if (!mexargs::RoomForOutputCopies(output_bytes)) {
    return call.Fail("memory", "Not enough memory for the host's copy of the result (%.0f MB).",
                     output_bytes / 1048576.0);
  }

  // One volume's scratch serves every volume of a series in turn; the bias
  // table exists only when it is read: with Rician noise.
  mexargs::ScratchArrays scratch;
  request.weights = scratch.New(3, series.volume_dims);
  request.accumulator = scratch.New(3, series.volume_dims);
  if (bias_size > 0) {
    const mwSize700 table_dims[2] = {1, static_cast<mwSize700>(bias_size)};
    request.bias_table = scratch.New(2, table_dims);
    request.bias_table_size = bias_size;
  }
  const double* noisy_data = request.noisy;
  for (std::size_t k = 0; k < series.volumes && !call.failed(); ++k) {
    const std::size_t offset = k * series.voxels;
    request.noisy = noisy_data + offset;
    request.denoised = denoised + offset;
    request.first_estimate = first_estimate != nullptr ? first_estimate + offset : nullptr;
    request.sigma = sigma[k];
    if (request.sigma == 0.0) {
      mexargs::CopyVolume(request.noisy, request.denoised, series.voxels);
      if (request.first_estimate != nullptr)
        mexargs::CopyVolume(request.noisy, request.first_estimate, series.voxels);
      continue;
    }
    call.Report(quillon::Denoise(request), request.options.isa);
  }
  scratch.Release();
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  gateway::Serve(kSignature, Run, nlhs, plhs, nrhs, prhs);
}
