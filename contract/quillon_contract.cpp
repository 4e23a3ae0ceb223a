#include "quillon_contract.h"

#include <cstdio>

#include "rician_bias.h"

namespace contract {
namespace {

const char* const kWhats[] = {"nargin", "nargout", "volume", "sigma",       "rician", "coils",
                              "size",   "range",   "threads", "memory", "isa",
                              "interrupted", nullptr};
const char* const kNone[] = {nullptr};

// A 4x4x4 block must fit: a thinner volume has no block to denoise.
constexpr int kMinimumSide = 4;

bool CheckSides(const Series& s, Refusal& refusal) {
  static const char* const kNames[3][2] = {{"row", "rows"}, {"column", "columns"},
                                           {"slice", "slices"}};
  for (int d = 0; d < 3; ++d) {
    const int side = s.volume_dims[d];
    if (side < kMinimumSide) {
      char shape[96];
      FormatDims(shape, sizeof shape, s.ndim, s.dims);
      return Refuse(refusal, kQuillon.name, "size", Fault::kValue,
                    "The volume (input 1) is %s: it has %d %s, and quillon needs at least %d "
                    "rows, %d columns and %d slices (the side of its 4x4x4 blocks).",
                    shape, side, kNames[d][side == 1 ? 0 : 1], kMinimumSide, kMinimumSide,
                    kMinimumSide);
    }
  }
  return true;
}

// The value that sizes volume k's Rician table.
double TableLargest(const QuillonCall& call, std::size_t k) {
  const double given = call.table_largest != nullptr ? call.table_largest[k] : -1.0;
  if (given >= 0.0) return given;
  return quillon::LargestValue(call.noisy + k * call.series.voxels,
                               static_cast<int64_t>(call.series.voxels));
}

// Sizes the largest table any volume needs; refuses quillon:range for the
// first volume too bright for a table.
bool SizeBiasTables(QuillonCall& call, Refusal& refusal) {
  const Series& s = call.series;
  for (std::size_t k = 0; k < s.volumes; ++k) {
    const double largest = TableLargest(call, k);
    const int64_t size = quillon::BiasLength(largest);
    if (size < 0) {
      char which[48] = "";
      if (s.volumes > 1) std::snprintf(which, sizeof which, " of volume %zu", k + 1);
      return Refuse(refusal, kQuillon.name, "range", Fault::kValue,
                    "With Rician noise the largest voxel value%s must be at most %.0f (it is "
                    "%g); scale the volume (and sigma) down.",
                    which, quillon::kLargestRicianValue, largest);
    }
    if (size > call.bias_table_doubles) call.bias_table_doubles = size;
  }
  return true;
}

}  // namespace

const Signature kQuillon{"quillon", 3, 2, "quillon(noisy, sigma, rician[, coils])",
                         "[denoised, first_estimate]", kWhats, kNone, 1};

bool CheckQuillon(const QuillonArguments& in, QuillonCall& call, Refusal& refusal) {
  const char* const name = kQuillon.name;
  if (!in.noisy.IsRealDoubleArray()) {
    return Refuse(refusal, name, "volume", Fault::kKind,
                  "The noisy volume (input 1) must be a real, full double array: a volume "
                  "[rows, cols, slices], or a series of them along the fourth and later "
                  "dimensions.");
  }
  if (!ReadSeries(name, in.noisy, call.series, refusal)) return false;
  const Series& series = call.series;
  call.noisy = in.noisy.data;
  if (!ReadSigma(in.sigma, series, call.sigma)) {
    return Refuse(refusal, name, "sigma", SigmaFault(in.sigma),
                  "sigma (input 2) must be a real numeric scalar, or a double array of one "
                  "value per volume (%zu): the noise standard deviation, in the units of the "
                  "voxel values.",
                  series.volumes);
  }
  double flag = 0.0;
  if (!ReadRicianFlag(name, 3, in.rician, flag, refusal)) return false;
  const int64_t unsound = FirstUnsoundSigma(call.sigma, series, false);
  if (unsound >= 0) {
    char which[48];
    return Refuse(refusal, name, "sigma", Fault::kValue,
                  "sigma (input 2) must be a finite number of at least 0 (0: no noise); got "
                  "%g%s.",
                  call.sigma[unsound], VolumeLabel(which, sizeof which, call.sigma, unsound));
  }
  call.rician = static_cast<int>(flag);
  if (!ReadCoils(name, 4, in.coils, call.rician > 0, call.coils, refusal)) return false;
  call.table_largest = in.table_largest;
  if (series.empty()) return true;
  if (!CheckSides(series, refusal)) return false;
  // Without Rician noise no table is read, whatever the values.
  return call.rician <= 0 || SizeBiasTables(call, refusal);
}

bool RunQuillon(const QuillonCall& call, quillon::Request q, double* denoised,
                double* first_estimate, Refusal& refusal) {
  const Series& s = call.series;
  if (s.empty()) return true;
  SetExtents(q, s);
  q.rician = call.rician;
  q.coils = call.coils;
  // The caller's table buffer holds, after each volume, that volume's
  // table: the next volume of the same sigma and table size reads it.
  const bool keeps_table = q.bias_table != nullptr && call.rician > 0;
  const bool first_ready = q.bias_table_ready;
  double held_sigma = 0.0;
  int64_t held_size = -1;
  for (std::size_t k = 0; k < s.volumes; ++k) {
    const std::size_t offset = k * s.voxels;
    q.noisy = call.noisy + offset;
    q.denoised = denoised + offset;
    q.first_estimate = first_estimate != nullptr ? first_estimate + offset : nullptr;
    q.sigma = call.sigma[k];
    q.table_largest = call.table_largest != nullptr ? call.table_largest[k] : -1.0;
    if (keeps_table) {
      // Measured on the volume: its own largest value unless given.
      q.table_largest = q.table_largest >= 0.0 ? q.table_largest : TableLargest(call, k);
      const int64_t size = quillon::BiasTableSize(q);
      q.bias_table_ready = k == 0 ? first_ready : size == held_size && q.sigma == held_sigma;
      held_sigma = q.sigma;
      held_size = size;
    }
    if (ReportStatus(kQuillon, quillon::Denoise(q), q.options.isa, refusal)) return false;
  }
  return true;
}

}  // namespace contract
