// The search kernel on one lane, in plain C++, for every processor: the
// scalar path, whose bits every vector width reproduces.
#include "lanes_scalar.h"
#include "search_kernel.h"

namespace tessary {

void ScalarThreadFunc(void* record) {
  const auto& a = *static_cast<const NlmThreadArgs*>(record);
  LaneWorker<platform::ScalarLanes>(*a.context, a).Run();
}

}  // namespace tessary
