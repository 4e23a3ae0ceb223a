// Argument lists from bytes, for the fuzz targets: every byte string decodes
// to some call (an output count, a list of inputs of any class and shape the
// host can make, and optionally a worker start to fail), so the fuzzer can
// walk the whole argument space of a gateway by mutating bytes.
//
// Layout (bytes past the end read as 0):
//   nlhs % 4, nrhs % 9, fault (1..24: fail worker start number fault - 1),
//   then per input:
//     class % 15 (Kind), mode (bits 0-1 Shape, bit 2 complex, bits 3-4 Fill),
//     the shape's bytes, the fill's bytes.
//   Shape kScalar: none. kExplicit: ndims % 6, then one byte per extent
//   (DimOf). kLikeFirst: none (the first input's extents). kLikeFirstChanged:
//   position, extent byte (the first input's extents with one replaced, or
//   one appended when the position is past the last).
//   Fill kConstant: value byte (ValueOf). kEach: one value byte per element.
//   kRamp: start byte (ValueOf), step byte. kPhantom: seed byte, level byte.
// An input's elements are capped (Limits::max_elements) by halving its
// largest extents, so that every call stays small and fast.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "standin_host.h"

namespace fuzzargs {

enum class Kind : std::uint8_t {
  kDouble, kSingle, kInt8, kUint8, kInt16, kUint16, kInt32, kUint32, kInt64, kUint64,
  kLogical, kChar, kCell, kStruct, kSparse, kCount
};
enum class Shape : std::uint8_t { kScalar, kExplicit, kLikeFirst, kLikeFirstChanged };
enum class Fill : std::uint8_t { kConstant, kEach, kRamp, kPhantom };

inline constexpr int kMaxInputs = 8;
inline constexpr int kMaxDims = 5;
inline constexpr int kNoFault = -1;

struct Limits {
  std::size_t max_elements = 4096;
};

struct ArgSpec {
  Kind kind = Kind::kDouble;
  bool complex = false;     // numeric classes only
  std::vector<int> dims;    // as requested; the host normalises them
  std::vector<double> re;   // one value per element (sparse: none)
  std::vector<double> im;   // complex only
};

struct CallSpec {
  int nlhs = 0;
  int fault = kNoFault;  // worker start to fail, counted from the call's first
  std::vector<ArgSpec> args;
};

// An extent from one byte: mostly 0..9, sometimes a larger one.
int DimOf(std::uint8_t b);
// A value from one byte: special values (zeros, NaN, infinities, the
// extremes of double, the edges of the 32-bit range, huge ones) below 32, and
// small non-negative multiples of 4 (0 .. 892) from 32 on.
double ValueOf(std::uint8_t b);

// The first byte that DimOf / ValueOf turn into `extent` / `value` (the same
// bits); aborts when there is none. For writing seeds.
std::uint8_t DimByte(int extent);
std::uint8_t ValueByte(double value);

CallSpec Decode(const std::uint8_t* data, std::size_t size, const Limits& limits = {});

// The inputs of a call, made in the stand-in host and owned by this object.
class Inputs {
 public:
  explicit Inputs(const CallSpec& described);
  ~Inputs();
  Inputs(const Inputs&) = delete;
  Inputs& operator=(const Inputs&) = delete;
  const mxArray** data() { return const_cast<const mxArray**>(arrays_.data()); }
  int count() const { return static_cast<int>(arrays_.size()); }
  const mxArray* at(int k) const { return arrays_[k]; }
  // The stored bytes of every input, to show that a call changed none of them.
  std::vector<std::uint8_t> Snapshot() const;

 private:
  std::vector<mxArray*> arrays_;
};

// One line per input, for the report of a failing input.
std::string Describe(const CallSpec& described);

// Writes the bytes of a call, for the seed corpus and the tests.
class Encoder {
 public:
  Encoder(int nlhs, int nrhs, int fault = kNoFault);
  Encoder& Scalar(Kind kind, double value);
  Encoder& Explicit(Kind kind, const std::vector<int>& dims, Fill fill,
                    std::vector<std::uint8_t> fill_bytes, bool complex = false);
  Encoder& LikeFirst(Kind kind, Fill fill, std::vector<std::uint8_t> fill_bytes);
  Encoder& LikeFirstChanged(Kind kind, std::uint8_t position, int extent, Fill fill,
                            std::vector<std::uint8_t> fill_bytes);
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::uint8_t Mode(Shape shape, Fill fill, bool complex) const;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace fuzzargs
