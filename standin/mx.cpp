// libmx: the stand-in host's arrays and allocator.
//
// Every array and every mxMalloc block is registered together with the call
// that owns it, so that the end of a call can free what the call leaked, and
// tests can count what is alive. Data lives in plain zeroed memory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "registry.h"
#include "standin_host.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

struct mxArray_tag {
  mxClassID cls = mxUNKNOWN_CLASS;
  bool complex = false;
  bool sparse = false;
  std::vector<mwSize700> dims;
  std::size_t count = 0;      // elements of the full array (rows * cols when sparse)
  std::size_t elem_size = 0;  // bytes per element of one part
  std::size_t stored = 0;     // elements held in pr (and pi): count, or nzmax when sparse
  void* pr = nullptr;
  void* pi = nullptr;
  std::vector<std::int64_t> ir, jc;  // sparse row indices and column starts
  std::uint64_t scope = 0;           // owning call; 0: the caller
};

namespace {

using standin::detail::FailureHandler;

struct Block {
  std::size_t size;
  std::uint64_t scope;
};

struct Registry {
  std::mutex mutex;
  std::unordered_set<const mxArray*> arrays;
  std::unordered_map<void*, Block> blocks;
  std::vector<std::uint64_t> scopes;  // active calls, innermost last
  std::uint64_t next_scope = 1;
  FailureHandler on_failure = nullptr;

  std::uint64_t Current() const { return scopes.empty() ? 0 : scopes.back(); }
};

// Never destroyed: a static destructor elsewhere may still free arrays.
Registry& Reg() {
  static Registry* registry = new Registry;
  return *registry;
}

std::size_t ElementSize(mxClassID cls) {
  switch (cls) {
    case mxLOGICAL_CLASS:
    case mxINT8_CLASS:
    case mxUINT8_CLASS:
      return 1;
    case mxCHAR_CLASS:
    case mxINT16_CLASS:
    case mxUINT16_CLASS:
      return 2;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS:
      return 4;
    case mxDOUBLE_CLASS:
    case mxINT64_CLASS:
    case mxUINT64_CLASS:
      return 8;
    case mxCELL_CLASS:
    case mxSTRUCT_CLASS:
      return sizeof(void*);  // element handles, all empty here
    default:
      return 0;
  }
}

bool IsNumericClass(mxClassID cls) { return cls >= mxDOUBLE_CLASS && cls <= mxUINT64_CLASS; }

// The host's shape rules: at least two dimensions (missing ones are
// singletons), negative extents are empty, and singletons past the second
// dimension are dropped.
std::vector<mwSize700> NormalisedDims(mwSize700 ndim, const mwSize700* dims) {
  std::vector<mwSize700> out;
  if (dims != nullptr)
    for (mwSize700 i = 0; i < ndim; ++i) out.push_back(dims[i] < 0 ? 0 : dims[i]);
  while (out.size() < 2) out.push_back(1);
  while (out.size() > 2 && out.back() == 1) out.pop_back();
  return out;
}

// Zeroed storage for n elements; never null for n == 0, so that a gateway
// may take the data pointer of an empty array. Freed with free().
//
// A large block comes straight from the system, already zero, so calloc
// leaves it untouched: its pages are first touched, and cleared by the
// system, where the gateway's threads first write them, not here on one
// thread. A volume's first touch costs one page fault per 4 KiB page, a
// sizeable share of a whole call, so on Linux the whole 2 MiB pages inside
// a large block are advised for large pages (advice only: where the system
// refuses, the pages stay small; the block's ends, in part pages, stay
// small so that no page holds memory the array does not use).
void* ZeroedData(std::size_t n, std::size_t elem_size) {
  void* p = std::calloc(n == 0 ? 1 : n, elem_size);
#if defined(__linux__)
  constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
  if (p != nullptr && n * elem_size >= 2 * kHugePage) {
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (start + kHugePage - 1) / kHugePage * kHugePage;
    const std::uintptr_t end = (start + n * elem_size) / kHugePage * kHugePage;
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
  }
#endif
  return p;
}

void FreeArray(mxArray* a) {
  std::free(a->pr);
  std::free(a->pi);
  delete a;
}

void Register(mxArray* a) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  a->scope = r.Current();
  r.arrays.insert(a);
}

// Builds an array of any class the stand-in stores, or returns null when the
// request is invalid or memory is short.
mxArray* NewArray(mxClassID cls, std::vector<mwSize700> dims, bool complex) {
  const std::size_t elem = ElementSize(cls);
  if (elem == 0) return nullptr;
  if (complex && !IsNumericClass(cls)) return nullptr;
  std::size_t count = 1;
  for (mwSize700 d : dims) {
    if (d != 0 && count > std::numeric_limits<std::size_t>::max() / elem / static_cast<std::size_t>(d))
      return nullptr;
    count *= static_cast<std::size_t>(d);
  }
  mxArray* a = new (std::nothrow) mxArray_tag;
  if (a == nullptr) return nullptr;
  a->cls = cls;
  a->complex = complex;
  a->dims = std::move(dims);
  a->count = count;
  a->stored = count;
  a->elem_size = elem;
  a->pr = ZeroedData(count, elem);
  if (complex) a->pi = ZeroedData(count, elem);
  if (a->pr == nullptr || (complex && a->pi == nullptr)) {
    FreeArray(a);
    return nullptr;
  }
  Register(a);
  return a;
}

// Raises an allocation failure in the active call, if there is one. Holds no
// lock and no object with a destructor, since the handler does not return.
void FailInCall(const char* id, const char* message) {
  Registry& r = Reg();
  FailureHandler handler = nullptr;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.scopes.empty()) handler = r.on_failure;
  }
  if (handler != nullptr) handler(id, message);
}

bool IsLive(const mxArray* a) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.arrays.count(a) != 0;
}

template <typename T>
double ElementAsDouble(const void* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return static_cast<double>(value);
}

}  // namespace

namespace standin::detail {

void SetFailureHandler(FailureHandler handler) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.on_failure = handler;
}

std::uint64_t OpenScope() {
  Registry& r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  const std::uint64_t id = r.next_scope++;
  r.scopes.push_back(id);
  return id;
}

Reclaimed CloseScope(std::uint64_t id, const std::vector<mxArray*>& keep) {
  Registry& r = Reg();
  std::vector<mxArray*> arrays;
  std::vector<void*> blocks;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    for (auto it = r.scopes.begin(); it != r.scopes.end(); ++it) {
      if (*it == id) {
        r.scopes.erase(it);
        break;
      }
    }
    const std::uint64_t parent = r.Current();
    const std::unordered_set<const mxArray*> kept(keep.begin(), keep.end());
    for (auto it = r.arrays.begin(); it != r.arrays.end();) {
      mxArray* a = const_cast<mxArray*>(*it);
      if (a->scope != id) {
        ++it;
      } else if (kept.count(a) != 0) {
        a->scope = parent;
        ++it;
      } else {
        arrays.push_back(a);
        it = r.arrays.erase(it);
      }
    }
    for (auto it = r.blocks.begin(); it != r.blocks.end();) {
      if (it->second.scope == id) {
        blocks.push_back(it->first);
        it = r.blocks.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (mxArray* a : arrays) FreeArray(a);
  for (void* p : blocks) std::free(p);
  return Reclaimed{arrays.size(), blocks.size()};
}

Owner OwnerOf(const mxArray* a, std::uint64_t id) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.arrays.find(a);
  if (it == r.arrays.end()) return Owner::kNotAnArray;
  return (*it)->scope == id ? Owner::kScope : Owner::kOther;
}

mxArray* TryDuplicate(const mxArray* a) {
  if (a == nullptr || !IsLive(a)) return nullptr;
  mxArray* copy = new (std::nothrow) mxArray_tag;
  if (copy == nullptr) return nullptr;
  copy->cls = a->cls;
  copy->complex = a->complex;
  copy->sparse = a->sparse;
  copy->dims = a->dims;
  copy->count = a->count;
  copy->elem_size = a->elem_size;
  copy->stored = a->stored;
  copy->ir = a->ir;
  copy->jc = a->jc;
  copy->pr = ZeroedData(a->stored, a->elem_size);
  if (a->pi != nullptr) copy->pi = ZeroedData(a->stored, a->elem_size);
  if (copy->pr == nullptr || (a->pi != nullptr && copy->pi == nullptr)) {
    FreeArray(copy);
    return nullptr;
  }
  std::memcpy(copy->pr, a->pr, a->stored * a->elem_size);
  if (a->pi != nullptr) std::memcpy(copy->pi, a->pi, a->stored * a->elem_size);
  Register(copy);
  return copy;
}

}  // namespace standin::detail

extern "C" {

double* mxGetPr(const mxArray* a) { return a ? static_cast<double*>(a->pr) : nullptr; }
double* mxGetPi(const mxArray* a) { return a ? static_cast<double*>(a->pi) : nullptr; }
void* mxGetData(const mxArray* a) { return a ? a->pr : nullptr; }

double mxGetScalar(const mxArray* a) {
  if (a == nullptr || a->count == 0) return 0.0;
  if (a->sparse && a->jc.size() > 1 && a->jc[1] == 0) return 0.0;  // no entry at (0,0)
  const void* p = a->pr;
  switch (a->cls) {
    case mxDOUBLE_CLASS: return ElementAsDouble<double>(p);
    case mxSINGLE_CLASS: return ElementAsDouble<float>(p);
    case mxINT8_CLASS: return ElementAsDouble<std::int8_t>(p);
    case mxUINT8_CLASS: return ElementAsDouble<std::uint8_t>(p);
    case mxINT16_CLASS: return ElementAsDouble<std::int16_t>(p);
    case mxUINT16_CLASS: return ElementAsDouble<std::uint16_t>(p);
    case mxINT32_CLASS: return ElementAsDouble<std::int32_t>(p);
    case mxUINT32_CLASS: return ElementAsDouble<std::uint32_t>(p);
    case mxINT64_CLASS: return ElementAsDouble<std::int64_t>(p);
    case mxUINT64_CLASS: return ElementAsDouble<std::uint64_t>(p);
    case mxLOGICAL_CLASS: return ElementAsDouble<std::uint8_t>(p) != 0 ? 1.0 : 0.0;
    case mxCHAR_CLASS: return ElementAsDouble<std::uint16_t>(p);
    default: return 0.0;
  }
}

mwSize700 mxGetNumberOfDimensions_700(const mxArray* a) {
  return a ? static_cast<mwSize700>(a->dims.size()) : 0;
}

const mwSize700* mxGetDimensions_700(const mxArray* a) { return a ? a->dims.data() : nullptr; }

mxArray* mxCreateNumericArray_700(mwSize700 ndim, const mwSize700* dims, mxClassID classid,
                                  mxComplexity flag) {
  mxArray* a = nullptr;
  if (IsNumericClass(classid) || classid == mxLOGICAL_CLASS)
    a = NewArray(classid, NormalisedDims(ndim, dims), flag == mxCOMPLEX);
  if (a == nullptr) FailInCall("standin:createArray", "cannot create the requested array");
  return a;
}

mxArray* mxCreateDoubleScalar(double value) {
  const mwSize700 one[2] = {1, 1};
  mxArray* a = mxCreateNumericArray_700(2, one, mxDOUBLE_CLASS, mxREAL);
  if (a != nullptr) *static_cast<double*>(a->pr) = value;
  return a;
}

mxArray* mxDuplicateArray(const mxArray* a) {
  mxArray* copy = standin::detail::TryDuplicate(a);
  if (copy == nullptr && a != nullptr) FailInCall("standin:outOfMemory", "cannot copy the array");
  return copy;
}

void mxDestroyArray(mxArray* a) {
  if (a == nullptr) return;
  Registry& r = Reg();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    // Not an array of the host's: leave it alone rather than corrupt memory.
    if (r.arrays.erase(a) == 0) return;
  }
  FreeArray(a);
}

bool mxIsDouble(const mxArray* a) { return a && a->cls == mxDOUBLE_CLASS; }
bool mxIsComplex(const mxArray* a) { return a && a->complex; }
bool mxIsSparse(const mxArray* a) { return a && a->sparse; }
bool mxIsNumeric(const mxArray* a) { return a && IsNumericClass(a->cls); }
bool mxIsLogical(const mxArray* a) { return a && a->cls == mxLOGICAL_CLASS; }
bool mxIsChar(const mxArray* a) { return a && a->cls == mxCHAR_CLASS; }
mxClassID mxGetClassID(const mxArray* a) { return a ? a->cls : mxUNKNOWN_CLASS; }
size_t mxGetNumberOfElements(const mxArray* a) { return a ? a->count : 0; }
size_t mxGetElementSize(const mxArray* a) { return a ? a->elem_size : 0; }

void* mxMalloc(size_t n) {
  Registry& r = Reg();
  void* p = ZeroedData(n, 1);
  if (p != nullptr) {
    std::lock_guard<std::mutex> lock(r.mutex);
    r.blocks.emplace(p, Block{n, r.Current()});
    return p;
  }
  char message[96];
  std::snprintf(message, sizeof message, "mxMalloc could not allocate %zu bytes", n);
  FailInCall("standin:outOfMemory", message);
  return nullptr;
}

void mxFree(void* p) {
  if (p == nullptr) return;
  Registry& r = Reg();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    // Memory the host did not hand out is not the host's to release.
    if (r.blocks.erase(p) == 0) return;
  }
  std::free(p);
}

}  // extern "C"

namespace standin {

mxArray* CreateArray(mxClassID cls, const std::vector<int>& dims, bool complex) {
  return NewArray(cls, NormalisedDims(static_cast<mwSize700>(dims.size()), dims.data()), complex);
}

mxArray* CreateSparse(int rows, int cols) {
  rows = rows < 0 ? 0 : rows;
  cols = cols < 0 ? 0 : cols;
  mxArray* a = new mxArray_tag;
  a->cls = mxDOUBLE_CLASS;
  a->sparse = true;
  a->dims = {rows, cols};
  a->count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  a->elem_size = sizeof(double);
  a->stored = 1;  // room for one entry, as the host always keeps
  a->pr = ZeroedData(1, sizeof(double));
  a->ir.assign(1, 0);
  a->jc.assign(static_cast<std::size_t>(cols) + 1, 0);
  Register(a);
  return a;
}

mxArray* CreateDouble(const std::vector<int>& dims, const double* column_major) {
  mxArray* a = CreateArray(mxDOUBLE_CLASS, dims);
  if (a != nullptr && column_major != nullptr)
    std::memcpy(a->pr, column_major, a->count * sizeof(double));
  return a;
}

mxArray* CreateScalar(double value) {
  mxArray* a = CreateArray(mxDOUBLE_CLASS, {1, 1});
  if (a != nullptr) *static_cast<double*>(a->pr) = value;
  return a;
}

void Destroy(mxArray* a) { mxDestroyArray(a); }

std::vector<int> Dimensions(const mxArray* a) {
  return a ? std::vector<int>(a->dims.begin(), a->dims.end()) : std::vector<int>{};
}

mxClassID ClassOf(const mxArray* a) { return mxGetClassID(a); }

std::size_t LiveArrays() {
  Registry& r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.arrays.size();
}

std::size_t LiveBlocks() {
  Registry& r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.blocks.size();
}

}  // namespace standin
