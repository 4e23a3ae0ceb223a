#include "scratch.h"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace platform {
namespace {

constexpr std::size_t kHugePage = std::size_t{1} << 21;

}  // namespace

Scratch::~Scratch() { std::free(data_); }

double* Scratch::Reserve(std::size_t count) {
  if (data_ != nullptr && count <= count_) return static_cast<double*>(data_);
  return Allocate(count);
}

double* Scratch::Allocate(std::size_t count) {
  std::free(data_);
  data_ = nullptr;
  count_ = 0;
  if (count > static_cast<std::size_t>(-1) / sizeof(double) - kHugePage) throw std::bad_alloc();
  const std::size_t bytes = count * sizeof(double);
#if defined(__linux__)
  if (bytes >= kHugePage) {
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    if (posix_memalign(&data_, kHugePage, rounded) != 0) throw std::bad_alloc();
    madvise(data_, rounded, MADV_HUGEPAGE);  // only advice: refused, the pages are small
    count_ = count;
    return static_cast<double*>(data_);
  }
#endif
  data_ = std::malloc(bytes == 0 ? 1 : bytes);
  if (data_ == nullptr) throw std::bad_alloc();
  count_ = count;
  return static_cast<double*>(data_);
}

}  // namespace platform
