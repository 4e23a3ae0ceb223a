// Fuzz target: tessary's gateway on decoded argument lists.
#include <cstddef>
#include <cstdint>

#include "gateway_check.h"
#include "tessary_contract.h"

namespace {

// The identifiers are the contract's.
const fuzzargs::Gateway kGateway{contract::kTessary, &mexFunction};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A radius past every extent pairs each voxel with every other: the cost
  // grows with the square of the voxels, and 4096 of them took seconds a
  // call in the instrumented build. 1024 keep such calls well under one.
  fuzzargs::CheckOneCall(kGateway, data, size, fuzzargs::Limits{1024});
  return 0;
}
