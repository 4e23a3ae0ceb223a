// Fuzz target: quillon's gateway on decoded argument lists.
#include <cstddef>
#include <cstdint>

#include "gateway_check.h"
#include "quillon_contract.h"

namespace {

// The identifiers are the contract's.
const fuzzargs::Gateway kGateway{contract::kQuillon, &mexFunction};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzargs::CheckOneCall(kGateway, data, size);
  return 0;
}
