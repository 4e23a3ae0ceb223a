// Fuzz target: quillon's gateway on decoded argument lists.
#include <cstddef>
#include <cstdint>

#include "gateway_check.h"

namespace {

const fuzzargs::Gateway& Quillon() {
  static const fuzzargs::Gateway gateway{
      "quillon", &mexFunction, 2,
      {"nargin", "nargout", "volume", "sigma", "rician", "size", "range", "threads", "memory", "isa"}};
  return gateway;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzargs::CheckOneCall(Quillon(), data, size);
  return 0;
}
