// Reading and writing float64 arrays in the .npy format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace npy {

// An array in column-major (Fortran) order, whatever order its file used.
struct Array {
  std::vector<int64_t> shape;
  std::vector<double> data;
};

// Where ReadInto puts an array: column-major memory for all the elements of
// `shape`, handed out once the file's header has been checked.
using Allocate = std::function<double*(const std::vector<int64_t>& shape)>;

// Reads a little-endian float64 .npy file, C- or Fortran-ordered, of any
// number of dimensions, into the memory `allocate` gives: a Fortran-ordered
// file goes there straight from the file. Throws std::runtime_error with a
// readable message (and then `allocate` may not have been called).
void ReadInto(const std::string& path, const Allocate& allocate);
Array Read(const std::string& path);

// Writes count doubles in column-major order as a Fortran-ordered float64
// .npy file of `shape`, straight from data. Throws std::runtime_error.
void Write(const std::string& path, const std::vector<int64_t>& shape, const double* data,
           std::size_t count);
void Write(const std::string& path, const Array& array);

}  // namespace npy
