#include "tessary_contract.h"

#include "rician_flag.h"

namespace contract {
namespace {

const char* const kWhats[] = {"nargin", "nargout",   "volume",  "size",   "scalar",
                              "range",  "sigma",     "guide",   "guideSize", "coils", "threads",
                              "memory", "isa",       "interrupted", nullptr};
const char* const kNone[] = {nullptr};

// The guide must have every dimension of the noisy array: a series needs a
// guide volume for each of its volumes.
bool SameDimensions(const Series& a, const Argument& b) {
  if (b.ndim != a.ndim) return false;
  for (int d = 0; d < a.ndim; ++d)
    if (b.dims[d] != a.dims[d]) return false;
  return true;
}

}  // namespace

const Signature kTessary{"tessary", 6, 1,
                         "tessary(noisy, radius, extra, sigma, guide, rician[, coils])",
                         "[denoised]", kWhats, kNone, 1};

bool CheckTessary(const TessaryArguments& in, TessaryCall& call, Refusal& refusal) {
  const char* const name = kTessary.name;
  if (!in.noisy.IsRealDoubleArray()) {
    return Refuse(refusal, name, "volume", Fault::kKind,
                  "Input 1 (the noisy volume) must be a real, full double array: a volume "
                  "[rows, cols, slices] (a matrix is one slice), or a series of them along "
                  "the fourth and later dimensions.");
  }
  if (!ReadSeries(name, in.noisy, call.series, refusal)) return false;
  const Series& series = call.series;
  if (!CheckIntegerScalar(name, 2, "search radius", in.radius, refusal)) return false;
  if (!CheckIntegerScalar(name, 3, "extra parameter", in.extra, refusal)) return false;
  if (!ReadSigma(in.sigma, series, call.sigma)) {
    return Refuse(refusal, name, "scalar", SigmaFault(in.sigma),
                  "Input 4 (sigma) must be a real numeric scalar, or a double array of one "
                  "value per volume (%zu).",
                  series.volumes);
  }
  // A negative sigma lets no pair through the gate; NaN and infinity would
  // give every pair the same weight, or clear a Rician result.
  const int64_t unsound = FirstUnsoundSigma(call.sigma, series, true);
  if (unsound >= 0) {
    char which[48];
    return Refuse(refusal, name, "sigma", Fault::kValue,
                  "Input 4 (sigma) must be a finite number; got %g%s.", call.sigma[unsound],
                  VolumeLabel(which, sizeof which, call.sigma, unsound));
  }
  if (!in.guide.IsRealDoubleArray()) {
    return Refuse(refusal, name, "guide", Fault::kKind,
                  "Input 5 (the guide) must be a real, full double array with the dimensions "
                  "of input 1.");
  }
  if (!CheckIntegerScalar(name, 6, "Rician flag", in.rician, refusal)) return false;
  if (!SameDimensions(series, in.guide)) {
    char want[96], got[96];
    FormatDims(want, sizeof want, series.ndim, series.dims);
    FormatDims(got, sizeof got, in.guide.ndim, in.guide.dims);
    return Refuse(refusal, name, "guideSize", Fault::kValue,
                  "Input 5 (the guide) must have the dimensions of input 1: %s, got %s.", want,
                  got);
  }
  call.noisy = in.noisy.data;
  call.guide = in.guide.data;
  call.search_radius = static_cast<int>(in.radius.scalar);
  call.rician = RicianFlag(in.rician.scalar);
  return ReadCoils(name, 7, in.coils, call.rician != 0, call.coils, refusal);
}

bool RunTessary(const TessaryCall& call, tessary::Request q, double* denoised,
                Refusal& refusal) {
  const Series& s = call.series;
  if (s.empty()) return true;
  SetExtents(q, s);
  q.search_radius = call.search_radius;
  q.rician = call.rician;
  q.coils = call.coils;
  for (std::size_t k = 0; k < s.volumes; ++k) {
    const std::size_t offset = k * s.voxels;
    q.noisy = call.noisy + offset;
    q.guide = call.guide + offset;
    q.denoised = denoised + offset;
    q.sigma = call.sigma[k];
    if (ReportStatus(kTessary, tessary::Denoise(q), q.options.isa, refusal)) return false;
  }
  return true;
}

}  // namespace contract
