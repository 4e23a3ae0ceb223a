// Reading and writing float64 arrays in the .npy format.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace npy {

// An array in column-major (Fortran) order, whatever order its file used.
struct Array {
  std::vector<int64_t> shape;
  std::vector<double> data;
};

// Reads a little-endian float64 .npy file, C- or Fortran-ordered, of any
// number of dimensions. Throws std::runtime_error with a readable message.
Array Read(const std::string& path);

// Writes a Fortran-ordered float64 .npy file. Throws std::runtime_error.
void Write(const std::string& path, const Array& array);

}  // namespace npy
