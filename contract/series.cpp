#include "series.h"

#include <cmath>
#include <cstdio>

namespace contract {

void FormatDims(char* text, std::size_t size, int ndim, const int* dims) {
  int used = 0;
  text[0] = '\0';
  for (int d = 0; d < ndim && used >= 0 && static_cast<std::size_t>(used) < size; ++d)
    used += std::snprintf(text + used, size - used, d == 0 ? "%d" : "x%d", dims[d]);
}

int64_t VoxelCount3(const int* dims) {
  const int64_t limit = 2147483647;
  for (int d = 0; d < 3; ++d) {
    if (dims[d] < 0) return -1;
    if (dims[d] == 0) return 0;
  }
  int64_t count = 1;
  for (int d = 0; d < 3; ++d) {
    const int64_t n = dims[d];
    if (count > limit / n) return -1;
    count *= n;
  }
  return count;
}

bool ReadSeries(const char* name, const Argument& a, Series& s, Refusal& refusal) {
  s.ndim = a.ndim;
  s.dims = a.dims;
  for (int d = 0; d < s.ndim; ++d) {
    if (s.dims[d] < 0) {
      return Refuse(refusal, name, "size", Fault::kValue,
                    "A dimension of input 1 exceeds 2147483647; split the array into "
                    "smaller volumes.");
    }
  }
  s.volume_dims[0] = s.dims[0];
  s.volume_dims[1] = s.dims[1];
  s.volume_dims[2] = s.ndim > 2 ? s.dims[2] : 1;
  const int64_t voxels = VoxelCount3(s.volume_dims);
  if (voxels < 0) {
    return Refuse(refusal, name, "size", Fault::kValue,
                  "Each volume of input 1 is %dx%dx%d, more than 2147483647 voxels; split it "
                  "into smaller volumes (from Python, denoisers.chunked does this for you).",
                  s.volume_dims[0], s.volume_dims[1], s.volume_dims[2]);
  }
  s.voxels = static_cast<std::size_t>(voxels);
  s.volumes = 1;
  for (int d = 3; d < s.ndim; ++d) {
    const auto n = static_cast<std::size_t>(s.dims[d]);
    if (n == 0) {
      s.volumes = 0;
      break;
    }
    s.volumes = s.volumes > SIZE_MAX / n ? SIZE_MAX : s.volumes * n;
  }
  return true;
}

bool ReadSigma(const Argument& a, const Series& series, SigmaList& sigma) {
  if (a.IsRealScalar()) {
    sigma.all = a.scalar;
    return true;
  }
  if (a.IsRealDoubleArray() && a.elements == series.volumes) {
    sigma.per_volume = a.data;
    return true;
  }
  return false;
}

int64_t FirstUnsoundSigma(const SigmaList& sigma, const Series& series, bool negative_allowed) {
  const std::size_t count = sigma.per_volume != nullptr ? series.volumes : 1;
  for (std::size_t k = 0; k < count; ++k) {
    const double s = sigma[k];
    if (!std::isfinite(s) || (!negative_allowed && s < 0.0)) return static_cast<int64_t>(k);
  }
  return -1;
}

const char* VolumeLabel(char* text, std::size_t size, const SigmaList& sigma, std::size_t k) {
  text[0] = '\0';
  if (sigma.per_volume != nullptr) std::snprintf(text, size, " for volume %zu", k + 1);
  return text;
}

}  // namespace contract
