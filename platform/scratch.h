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
  // At least `count` doubles: what the object holds when that is enough
  // (its contents as they were), else Allocate's. For buffers kept from one
  // volume of a series to the next, whose pages are then faulted in once.
  double* Reserve(std::size_t count);

 private:
  void* data_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace platform
