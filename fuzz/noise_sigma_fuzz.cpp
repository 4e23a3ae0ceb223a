// Fuzz target: noise_sigma's gateway on decoded argument lists.
#include <cstddef>
#include <cstdint>

#include "gateway_check.h"

namespace {

const fuzzargs::Gateway& NoiseSigma() {
  static const fuzzargs::Gateway gateway{
      "noise_sigma", &mexFunction, 2,
      {"nargin", "nargout", "volume", "rician", "size", "small", "threads", "memory"},
      fuzzargs::Outputs::kRowPerVolume,
      // Too few usable blocks: known only once the workers have read them.
      {"small"},
      // [sigma, info]: nine rows of diagnostics per volume.
      9};
  return gateway;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzargs::CheckOneCall(NoiseSigma(), data, size);
  return 0;
}
