// A call's own scratch volume: uninitialised doubles, freed with the object.
// A fresh volume of tens of megabytes costs one page fault per 4 KiB page
// on its first touch, which for a brain-sized call took a third of a
// single-threaded quillon call; on Linux a large buffer is therefore aligned
// to and advised for 2 MiB pages, where the system allows them.
#pragma once

#include <cstddef>

namespace platform {

class Scratch {
 public:
  Scratch() = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch();

  // `count` doubles, replacing what the object held. Throws std::bad_alloc.
  double* Allocate(std::size_t count);

 private:
  void* data_ = nullptr;
};

}  // namespace platform
