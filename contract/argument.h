// One input of a call as the rules see it, described by the front end from
// its own array (mex/mex_args.h, the Python binding): what kind of value it
// is, its dimensions and its numbers. And the rules of the scalar inputs.
#pragma once

#include <cstddef>

#include "refusal.h"

namespace contract {

struct Argument {
  enum class Kind {
    kAbsent,   // not passed: an optional input left out
    kDouble,   // a full, real double array: data holds its elements
    kNumeric,  // a full, real array of another numeric class, or a logical one
    kOther,    // anything else: complex, sparse, characters, cells, structs, ...
  };
  Kind kind = Kind::kAbsent;
  int ndim = 0;               // at least 2, as the hosts count: a scalar is 1x1
  const int* dims = nullptr;  // ndim entries; -1 for one beyond 2147483647
  std::size_t elements = 0;
  const double* data = nullptr;  // kDouble only, column-major
  double scalar = 0.0;           // the one element's value (true is 1) when elements == 1

  // A full, real double array (not sparse, not complex).
  bool IsRealDoubleArray() const { return kind == Kind::kDouble; }
  // A real scalar of any numeric class, or a logical one: a number the way
  // the user means it. Characters, cells and structs are not numbers here,
  // whatever a host would read from them.
  bool IsRealScalar() const {
    return (kind == Kind::kDouble || kind == Kind::kNumeric) && elements == 1;
  }
};

// True when truncating x toward zero gives a 32-bit signed integer.
inline bool TruncatesToInt32(double x) {
  return x > -2147483649.0 && x < 2147483648.0;  // false for NaN
}

// The Rician flag of quillon and noise_sigma, input `input` (1-based): a
// real scalar whose truncation fits in 32 bits, left in `flag`. A flag that
// truncates to a positive integer declares Rician noise.
bool ReadRicianFlag(const char* name, int input, const Argument& a, double& flag,
                    Refusal& refusal);

// The receive coils of a sum-of-squares magnitude, optional input `input`:
// 1 when left out, else a real scalar holding a whole number from 1 to
// quillon::kMostCoils; more than one only with Rician noise (`rician`).
// NAME:coils otherwise.
bool ReadCoils(const char* name, int input, const Argument& a, bool rician, int& coils,
               Refusal& refusal);

// An input of tessary that is truncated to a 32-bit integer (the radius,
// the extra input, the Rician flag): a real scalar whose truncation fits.
bool CheckIntegerScalar(const char* name, int input, const char* label, const Argument& a,
                        Refusal& refusal);

}  // namespace contract
