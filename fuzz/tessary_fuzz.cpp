// Fuzz target: tessary's gateway on decoded argument lists.
#include <cstddef>
#include <cstdint>

#include "gateway_check.h"

namespace {

const fuzzargs::Gateway& Tessary() {
  static const fuzzargs::Gateway gateway{
      "tessary", &mexFunction, 1,
      {"nargin", "nargout", "volume", "size", "scalar", "range", "sigma", "guide", "guideSize",
       "threads", "memory"}};
  return gateway;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzargs::CheckOneCall(Tessary(), data, size);
  return 0;
}
