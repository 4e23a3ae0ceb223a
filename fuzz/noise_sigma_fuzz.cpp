// Fuzz target: noise_sigma's gateway on decoded argument lists.
#include <cstddef>
#include <cstdint>

#include "gateway_check.h"
#include "noise_sigma_contract.h"

namespace {

// The identifiers, and the rows of the second output, are the contract's.
const fuzzargs::Gateway kGateway{contract::kNoiseSigma, &mexFunction,
                                 fuzzargs::Outputs::kRowPerVolume, contract::kNoiseSigmaInfoRows};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzargs::CheckOneCall(kGateway, data, size);
  return 0;
}
