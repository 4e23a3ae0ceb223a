// What the filters denoise: one volume [rows, cols, slices], or a series of
// such volumes along the fourth and later dimensions (a diffusion or
// functional series), each denoised on its own as if it had been passed
// alone; and the noise level of each volume, one sigma for all of them or
// one per volume.
#pragma once

#include <cstddef>
#include <cstdint>

#include "argument.h"
#include "refusal.h"

namespace contract {

struct Series {
  int ndim = 0;
  const int* dims = nullptr;  // the argument's dimension vector
  // One volume. A host drops trailing singletons, so a matrix is a volume
  // of one slice.
  int volume_dims[3] = {0, 0, 0};
  std::size_t voxels = 0;  // of one volume: at most 2147483647
  // The product of the dimensions past the third: 1 for a single volume.
  // Only an empty array can make it overflow; it then saturates.
  std::size_t volumes = 0;

  int rows() const { return volume_dims[0]; }
  int cols() const { return volume_dims[1]; }
  int slices() const { return volume_dims[2]; }
  bool empty() const { return voxels == 0 || volumes == 0; }
};

// "181x217x181x64"
void FormatDims(char* text, std::size_t size, int ndim, const int* dims);

// rows*cols*slices of a dimension vector with at least three entries, or -1
// when a dimension is negative or the product exceeds the 32-bit voxel limit.
int64_t VoxelCount3(const int* dims);

// The shape of `a`, a real double array. Refuses NAME:size when a dimension
// or one volume's voxels exceed what the cores index with 32 bits.
bool ReadSeries(const char* name, const Argument& a, Series& s, Refusal& refusal);

// The sigma of each volume: the one scalar, or element k of the per-volume
// array. Points into the argument's numbers, valid during the call.
struct SigmaList {
  const double* per_volume = nullptr;
  double all = 0.0;
  double operator[](std::size_t k) const { return per_volume != nullptr ? per_volume[k] : all; }
};

// Reads sigma: a real scalar, or a real full double array with one element
// per volume of the series. False when it is neither.
bool ReadSigma(const Argument& a, const Series& series, SigmaList& sigma);

// Why ReadSigma failed: a double array of the wrong count has the wrong
// value; anything else is the wrong kind of value.
inline Fault SigmaFault(const Argument& a) {
  return a.IsRealDoubleArray() ? Fault::kValue : Fault::kKind;
}

// The first volume whose sigma is no noise level: NaN or infinite, or
// negative unless `negative_allowed`; -1 when every one is.
int64_t FirstUnsoundSigma(const SigmaList& sigma, const Series& series, bool negative_allowed);

// " for volume 7" when sigma holds one value per volume, else "".
const char* VolumeLabel(char* text, std::size_t size, const SigmaList& sigma, std::size_t k);

// A core's request for the volumes of a series: their extents.
template <class Request>
void SetExtents(Request& q, const Series& s) {
  q.rows = s.rows();
  q.cols = s.cols();
  q.slices = s.slices();
}

}  // namespace contract
