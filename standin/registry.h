// What libmex needs from libmx to run a call as the host does: every array
// and block is owned by the innermost call active when it was made (or by
// nobody, i.e. the caller, outside any call), so that the end of a call can
// find and free what the call left behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mex_host.h"

namespace standin::detail {

// Called by libmx when it cannot honour an allocation during a call; raises
// the error in the call and does not return.
using FailureHandler = void (*)(const char* id, const char* message);
void SetFailureHandler(FailureHandler handler);

// Opens a call's scope; it becomes the owner of everything made until it
// closes (or a nested scope opens).
std::uint64_t OpenScope();

struct Reclaimed {
  std::size_t arrays = 0;
  std::size_t blocks = 0;
};

// Closes scope `id`: frees every array and block it still owns, except the
// arrays in `keep`, which pass to the enclosing scope (or to the caller).
Reclaimed CloseScope(std::uint64_t id, const std::vector<mxArray*>& keep);

enum class Owner { kNotAnArray, kScope, kOther };
// Whether `a` is a live array, and if so whether scope `id` owns it. Never
// dereferences `a`.
Owner OwnerOf(const mxArray* a, std::uint64_t id);

// A copy of a live array owned by the current scope; null when out of memory.
mxArray* TryDuplicate(const mxArray* a);

}  // namespace standin::detail
