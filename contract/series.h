// What a gateway denoises: one volume [rows, cols, slices], or a series of
// such volumes along the fourth and later dimensions (a diffusion or
// functional series), each denoised on its own as if it had been passed
// alone; and the noise level of each volume, one sigma for all of them or
// one per volume.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "gateway.h"
#include "mex_args.h"
#include "mex_host.h"

namespace mexargs {

struct Series {
  mwSize700 ndim = 0;
  const mwSize700* dims = nullptr;  // the host's dimension vector
  // One volume. The host drops trailing singletons, so a matrix is a volume
  // of one slice.
  mwSize700 volume_dims[3] = {0, 0, 0};
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
inline void FormatDims(char* text, std::size_t size, mwSize700 ndim, const mwSize700* dims) {
  int used = 0;
  text[0] = '\0';
  for (mwSize700 d = 0; d < ndim && used >= 0 && static_cast<std::size_t>(used) < size; ++d)
    used += std::snprintf(text + used, size - used, d == 0 ? "%d" : "x%d", dims[d]);
}

// The shape of `a`, a real double array. Fails NAME:size when a dimension or
// one volume's voxels exceed what the cores index with 32 bits.
inline bool ReadSeries(gateway::Call& call, const mxArray* a, Series& s) {
  s.ndim = mxGetNumberOfDimensions_700(a);
  s.dims = mxGetDimensions_700(a);
  // The Octave host reports a dimension beyond 32 bits as -1.
  for (mwSize700 d = 0; d < s.ndim; ++d) {
    if (s.dims[d] < 0) {
      call.Fail("size", "A dimension of input 1 exceeds 2147483647; split the array into "
                        "smaller volumes.");
      return false;
    }
  }
  s.volume_dims[0] = s.dims[0];
  s.volume_dims[1] = s.dims[1];
  s.volume_dims[2] = s.ndim > 2 ? s.dims[2] : 1;
  const int64_t voxels = VoxelCount3(s.volume_dims);
  if (voxels < 0) {
    call.Fail("size",
              "Each volume of input 1 is %dx%dx%d, more than 2147483647 voxels; split it "
              "into smaller volumes (from Python, denoisers.chunked does this for you).",
              s.volume_dims[0], s.volume_dims[1], s.volume_dims[2]);
    return false;
  }
  s.voxels = static_cast<std::size_t>(voxels);
  s.volumes = 1;
  for (mwSize700 d = 3; d < s.ndim; ++d) {
    const auto n = static_cast<std::size_t>(s.dims[d]);
    if (n == 0) {
      s.volumes = 0;
      break;
    }
    s.volumes = s.volumes > SIZE_MAX / n ? SIZE_MAX : s.volumes * n;
  }
  return true;
}

// The sigma of each volume: the one scalar, or element k of the per-volume
// array. Points into the host's input, valid during the call.
struct SigmaList {
  const double* per_volume = nullptr;
  double all = 0.0;
  double operator[](std::size_t k) const { return per_volume != nullptr ? per_volume[k] : all; }
};

// Reads sigma: a real scalar (IsRealScalar), or a real full double array
// with one element per volume of the series. False when it is neither.
inline bool ReadSigma(const mxArray* a, const Series& series, SigmaList& sigma) {
  if (IsRealScalar(a)) {
    sigma.all = mxGetScalar(a);
    return true;
  }
  if (IsRealDoubleArray(a) && mxGetNumberOfElements(a) == series.volumes) {
    sigma.per_volume = mxGetPr(a);
    return true;
  }
  return false;
}

// The first volume whose sigma is no noise level: NaN or infinite, or
// negative unless `negative_allowed`; -1 when every one is.
inline int64_t FirstUnsoundSigma(const SigmaList& sigma, const Series& series,
                                 bool negative_allowed) {
  const std::size_t count = sigma.per_volume != nullptr ? series.volumes : 1;
  for (std::size_t k = 0; k < count; ++k) {
    const double s = sigma[k];
    if (!std::isfinite(s) || (!negative_allowed && s < 0.0)) return static_cast<int64_t>(k);
  }
  return -1;
}

// " for volume 7" when sigma holds one value per volume, else "".
inline const char* VolumeLabel(char* text, std::size_t size, const SigmaList& sigma,
                               std::size_t k) {
  text[0] = '\0';
  if (sigma.per_volume != nullptr) std::snprintf(text, size, " for volume %zu", k + 1);
  return text;
}

// sigma 0 declares no noise: the volume comes back as it went in, bit for bit.
inline void CopyVolume(const double* from, double* to, std::size_t voxels) {
  for (std::size_t i = 0; i < voxels; ++i) to[i] = from[i];
}

}  // namespace mexargs
