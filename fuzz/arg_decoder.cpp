#include "arg_decoder.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>

namespace fuzzargs {
namespace {

// Reads the input byte by byte; past the end every byte is 0, so a short
// input still decodes to a complete call.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Next() { return pos_ < size_ ? data_[pos_++] : 0; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

bool IsNumeric(Kind k) { return k <= Kind::kUint64; }

// Elements of an array of these extents, as the host counts them (no
// extents: a scalar), saturated far above any limit.
double ElementCount(const std::vector<int>& dims) {
  double n = 1.0;
  for (int d : dims) n *= d < 0 ? 0.0 : static_cast<double>(d);
  return n;
}

// Halves the largest extent until the array is small enough. Extents with a
// zero among them stay as they are: such an array holds nothing, however
// large the others (which is how a gateway's size limit is reached).
void Clamp(std::vector<int>& dims, const Limits& limits) {
  while (ElementCount(dims) > static_cast<double>(limits.max_elements)) {
    int* largest = &dims[0];
    for (int& d : dims)
      if (d > *largest) largest = &d;
    *largest /= 2;
  }
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Below 1000 or beyond quillon's bias-table limit (4194304): a volume
// value in between would make a Rician call build a table of millions of
// entries, which takes seconds, not microseconds.
constexpr double kSpecial[32] = {
    0.0,     -0.0,    1.0,       -1.0,     0.5,      2.0,      3.0,
    10.0,    100.0,   -100.0,    1000.0,   -1000.0,  0.1,      1e-300,
    std::numeric_limits<double>::denorm_min(),       -std::numeric_limits<double>::denorm_min(),
    DBL_MIN, DBL_MAX, -DBL_MAX,  1e300,    -1e300,   kNaN,     -kNaN,
    kInf,    -kInf,   2147483647.0, 2147483648.0, -2147483648.0, -2147483649.0,
    4294967296.0, 9.3e18, 134217728.0};

constexpr int kLargeDims[] = {10,  11,  12,  13,   16,   17,   20,   24,      31,
                              32,  33,  48,  64,   65,   100,  127,  128,     181,
                              217, 255, 256, 500,  512,  1000, 1024, 2048,    4096,
                              65535, 65536, 1000000, 2000000000, 2147483647};

// A smooth pattern with some noise, at `level`: enough structure for the
// denoisers to do real work.
std::vector<double> Phantom(std::size_t n, std::uint8_t seed, double level) {
  std::vector<double> v(n);
  std::uint32_t state = 0x9e3779b9u ^ seed;
  for (std::size_t i = 0; i < n; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    const double noise = (static_cast<double>(state % 1000) / 1000.0 - 0.5) * 0.2;
    v[i] = level * (0.75 + 0.25 * std::sin(static_cast<double>(i) * 0.37)) + level * noise;
  }
  return v;
}

template <typename T>
T Saturate(double x) {
  if (std::isnan(x)) return 0;
  constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
  constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
  if (x <= lo) return std::numeric_limits<T>::min();
  if (x >= hi) return std::numeric_limits<T>::max();
  return static_cast<T>(x);
}

template <typename T>
void Store(void* data, const std::vector<double>& values) {
  T* out = static_cast<T*>(data);
  for (std::size_t i = 0; i < values.size(); ++i) out[i] = Saturate<T>(values[i]);
}

void StoreFloat(void* data, const std::vector<double>& values) {
  float* out = static_cast<float*>(data);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double x = values[i];
    // Beyond float's range the conversion is undefined; the host rounds to infinity.
    out[i] = x > FLT_MAX ? HUGE_VALF : x < -FLT_MAX ? -HUGE_VALF : static_cast<float>(x);
  }
}

void StoreValues(Kind kind, void* data, const std::vector<double>& values) {
  switch (kind) {
    case Kind::kDouble:
      if (!values.empty()) std::memcpy(data, values.data(), values.size() * sizeof(double));
      break;
    case Kind::kSingle: StoreFloat(data, values); break;
    case Kind::kInt8: Store<std::int8_t>(data, values); break;
    case Kind::kUint8: Store<std::uint8_t>(data, values); break;
    case Kind::kInt16: Store<std::int16_t>(data, values); break;
    case Kind::kUint16:
    case Kind::kChar: Store<std::uint16_t>(data, values); break;
    case Kind::kInt32: Store<std::int32_t>(data, values); break;
    case Kind::kUint32: Store<std::uint32_t>(data, values); break;
    case Kind::kInt64: Store<std::int64_t>(data, values); break;
    case Kind::kUint64: Store<std::uint64_t>(data, values); break;
    case Kind::kLogical: {
      auto* out = static_cast<std::uint8_t*>(data);
      for (std::size_t i = 0; i < values.size(); ++i) out[i] = values[i] != 0.0 ? 1 : 0;
      break;
    }
    default:
      break;  // cells and structs hold empty handles, sparse arrays no entries
  }
}

mxClassID ClassOf(Kind kind) {
  switch (kind) {
    case Kind::kDouble: return mxDOUBLE_CLASS;
    case Kind::kSingle: return mxSINGLE_CLASS;
    case Kind::kInt8: return mxINT8_CLASS;
    case Kind::kUint8: return mxUINT8_CLASS;
    case Kind::kInt16: return mxINT16_CLASS;
    case Kind::kUint16: return mxUINT16_CLASS;
    case Kind::kInt32: return mxINT32_CLASS;
    case Kind::kUint32: return mxUINT32_CLASS;
    case Kind::kInt64: return mxINT64_CLASS;
    case Kind::kUint64: return mxUINT64_CLASS;
    case Kind::kLogical: return mxLOGICAL_CLASS;
    case Kind::kChar: return mxCHAR_CLASS;
    case Kind::kCell: return mxCELL_CLASS;
    case Kind::kStruct: return mxSTRUCT_CLASS;
    default: return mxDOUBLE_CLASS;
  }
}

const char* NameOf(Kind kind) {
  static const char* const names[] = {"double", "single", "int8",    "uint8",  "int16",
                                      "uint16", "int32",  "uint32",  "int64",  "uint64",
                                      "logical", "char",  "cell",    "struct", "sparse"};
  return kind < Kind::kCount ? names[static_cast<int>(kind)] : "?";
}

}  // namespace

int DimOf(std::uint8_t b) {
  if (b < 200) return b % 10;
  return kLargeDims[(b - 200) % (sizeof kLargeDims / sizeof kLargeDims[0])];
}

double ValueOf(std::uint8_t b) {
  if (b < 32) return kSpecial[b];
  return (static_cast<int>(b) - 48) * 4.0;
}

std::uint8_t DimByte(int extent) {
  for (int b = 0; b < 256; ++b)
    if (DimOf(static_cast<std::uint8_t>(b)) == extent) return static_cast<std::uint8_t>(b);
  std::fprintf(stderr, "no byte decodes to the extent %d\n", extent);
  std::abort();
}

std::uint8_t ValueByte(double value) {
  for (int b = 0; b < 256; ++b) {
    const double v = ValueOf(static_cast<std::uint8_t>(b));
    if (std::memcmp(&v, &value, sizeof v) == 0) return static_cast<std::uint8_t>(b);
  }
  std::fprintf(stderr, "no byte decodes to the value %g\n", value);
  std::abort();
}

CallSpec Decode(const std::uint8_t* data, std::size_t size, const Limits& limits) {
  Reader in(data, size);
  CallSpec call;
  call.nlhs = in.Next() % 4;
  const int nrhs = in.Next() % (kMaxInputs + 1);
  const std::uint8_t fault = in.Next();
  call.fault = fault >= 1 && fault <= 24 ? fault - 1 : kNoFault;

  for (int k = 0; k < nrhs; ++k) {
    ArgSpec a;
    a.kind = static_cast<Kind>(in.Next() % static_cast<int>(Kind::kCount));
    const std::uint8_t mode = in.Next();
    const auto shape = static_cast<Shape>(mode & 3);
    a.complex = (mode & 4) != 0 && IsNumeric(a.kind);
    const auto fill = static_cast<Fill>((mode >> 3) & 3);

    const std::vector<int> first = k == 0 ? std::vector<int>{1, 1} : call.args[0].dims;
    switch (shape) {
      case Shape::kScalar:
        a.dims = {1, 1};
        break;
      case Shape::kExplicit: {
        const int ndims = in.Next() % (kMaxDims + 1);
        for (int d = 0; d < ndims; ++d) a.dims.push_back(DimOf(in.Next()));
        break;
      }
      case Shape::kLikeFirst:
        a.dims = first;
        break;
      case Shape::kLikeFirstChanged: {
        a.dims = first;
        const std::size_t position = in.Next() % (a.dims.size() + 1);
        const int extent = DimOf(in.Next());
        if (position < a.dims.size())
          a.dims[position] = extent;
        else if (a.dims.size() < kMaxDims)
          a.dims.push_back(extent);
        break;
      }
    }
    Clamp(a.dims, limits);
    // A sparse matrix keeps one column start per column even when empty:
    // the host's own storage grows with the extents, not the elements.
    if (a.kind == Kind::kSparse)
      for (int& d : a.dims) d = std::min(d, static_cast<int>(limits.max_elements));

    const auto n = static_cast<std::size_t>(ElementCount(a.dims));
    std::vector<double> values;
    switch (fill) {
      case Fill::kConstant:
        values.assign(n, ValueOf(in.Next()));
        break;
      case Fill::kEach:
        values.resize(n);
        for (double& v : values) v = ValueOf(in.Next());
        break;
      case Fill::kRamp: {
        const double start = ValueOf(in.Next());
        const double step = ((in.Next() % 32) - 8) / 64.0;
        values.resize(n);
        for (std::size_t i = 0; i < n; ++i) values[i] = start + static_cast<double>(i) * step;
        break;
      }
      case Fill::kPhantom: {
        const std::uint8_t seed = in.Next();
        values = Phantom(n, seed, ValueOf(in.Next()));
        break;
      }
    }
    if (a.kind != Kind::kCell && a.kind != Kind::kStruct && a.kind != Kind::kSparse) {
      a.re = std::move(values);
      if (a.complex) a.im.assign(a.re.size(), 1.0);
    }
    call.args.push_back(std::move(a));
  }
  return call;
}

Inputs::Inputs(const CallSpec& described) {
  for (const ArgSpec& a : described.args) {
    mxArray* array = nullptr;
    if (a.kind == Kind::kSparse) {
      const int rows = a.dims.size() > 0 ? a.dims[0] : 1;
      const int cols = a.dims.size() > 1 ? a.dims[1] : 1;
      array = standin::CreateSparse(rows, cols);
    } else {
      array = standin::CreateArray(ClassOf(a.kind), a.dims, a.complex);
      if (array != nullptr) {
        StoreValues(a.kind, mxGetData(array), a.re);
        if (a.complex) StoreValues(a.kind, mxGetPi(array), a.im);
      }
    }
    arrays_.push_back(array);
  }
}

Inputs::~Inputs() {
  for (mxArray* a : arrays_) standin::Destroy(a);
}

std::vector<std::uint8_t> Inputs::Snapshot() const {
  std::vector<std::uint8_t> bytes;
  for (const mxArray* a : arrays_) {
    if (a == nullptr) continue;
    // A sparse array stores one entry whatever its extents.
    const std::size_t n = mxIsSparse(a) ? 1 : mxGetNumberOfElements(a);
    const std::size_t size = n * mxGetElementSize(a);
    const auto* re = static_cast<const std::uint8_t*>(mxGetData(a));
    bytes.insert(bytes.end(), re, re + size);
    if (const auto* im = reinterpret_cast<const std::uint8_t*>(mxGetPi(a)))
      bytes.insert(bytes.end(), im, im + size);
    for (int d : standin::Dimensions(a)) {
      const auto* p = reinterpret_cast<const std::uint8_t*>(&d);
      bytes.insert(bytes.end(), p, p + sizeof d);
    }
  }
  return bytes;
}

std::string Describe(const CallSpec& described) {
  std::ostringstream s;
  s << "nlhs " << described.nlhs << ", " << described.args.size() << " inputs";
  if (described.fault != kNoFault) s << ", worker start " << described.fault << " fails";
  s << "\n";
  for (std::size_t k = 0; k < described.args.size(); ++k) {
    const ArgSpec& a = described.args[k];
    s << "  input " << k + 1 << ": " << NameOf(a.kind) << (a.complex ? " complex" : "") << " [";
    for (std::size_t d = 0; d < a.dims.size(); ++d) s << (d ? " " : "") << a.dims[d];
    s << "]";
    for (std::size_t i = 0; i < a.re.size() && i < 4; ++i) s << (i ? ", " : " = ") << a.re[i];
    if (a.re.size() > 4) s << ", ...";
    s << "\n";
  }
  return s.str();
}

Encoder::Encoder(int nlhs, int nrhs, int fault) {
  bytes_ = {static_cast<std::uint8_t>(nlhs), static_cast<std::uint8_t>(nrhs),
            static_cast<std::uint8_t>(fault == kNoFault ? 0 : fault + 1)};
}

std::uint8_t Encoder::Mode(Shape shape, Fill fill, bool complex) const {
  return static_cast<std::uint8_t>(static_cast<int>(shape) | (complex ? 4 : 0) |
                                   (static_cast<int>(fill) << 3));
}

Encoder& Encoder::Scalar(Kind kind, double value) {
  bytes_.insert(bytes_.end(), {static_cast<std::uint8_t>(kind),
                               Mode(Shape::kScalar, Fill::kConstant, false), ValueByte(value)});
  return *this;
}

Encoder& Encoder::Explicit(Kind kind, const std::vector<int>& dims, Fill fill,
                           std::vector<std::uint8_t> fill_bytes, bool complex) {
  bytes_.insert(bytes_.end(), {static_cast<std::uint8_t>(kind), Mode(Shape::kExplicit, fill, complex),
                               static_cast<std::uint8_t>(dims.size())});
  for (int d : dims) bytes_.push_back(DimByte(d));
  bytes_.insert(bytes_.end(), fill_bytes.begin(), fill_bytes.end());
  return *this;
}

Encoder& Encoder::LikeFirst(Kind kind, Fill fill, std::vector<std::uint8_t> fill_bytes) {
  bytes_.insert(bytes_.end(), {static_cast<std::uint8_t>(kind), Mode(Shape::kLikeFirst, fill, false)});
  bytes_.insert(bytes_.end(), fill_bytes.begin(), fill_bytes.end());
  return *this;
}

Encoder& Encoder::LikeFirstChanged(Kind kind, std::uint8_t position, int extent, Fill fill,
                                   std::vector<std::uint8_t> fill_bytes) {
  bytes_.insert(bytes_.end(), {static_cast<std::uint8_t>(kind),
                               Mode(Shape::kLikeFirstChanged, fill, false), position,
                               DimByte(extent)});
  bytes_.insert(bytes_.end(), fill_bytes.begin(), fill_bytes.end());
  return *this;
}

}  // namespace fuzzargs
