// The noise level of one 3-D volume: the standard deviation sigma of its
// noise, in the units of the voxel values, for the two filters' sigma input.
// Host-free: a plain view of the voxels in, a number (with how it was found)
// and a status out. A series of volumes that share one noise level gets one
// pooled sigma (EstimateSeries).
#pragma once

#include <cstdint>
#include <functional>

#include "call.h"

namespace noise_sigma {

using platform::Status;

// How the noise entered the data.
enum class NoiseModel {
  kGaussian,  // additive, zero-mean Gaussian noise of standard deviation sigma
  kRician,    // magnitude of complex data with Gaussian noise sigma in each part
};

// One volume, column-major: voxel (r, c, s) at data[r + c*rows + s*rows*cols].
struct VolumeView {
  const double* data = nullptr;  // rows*cols*slices values, read only; NaN and
                                 // infinite voxels are ignored
  int rows = 0;                  // each at least 0; the product fits in 32 bits
  int cols = 0;
  int slices = 0;
};

struct Request {
  VolumeView volume;
  NoiseModel model = NoiseModel::kRician;
  // Under kRician, the receive channels (1 to quillon::kMostCoils) whose
  // sum of squares the magnitude is: the background's law is then the
  // central chi law with 2 coils degrees of freedom, the tissue's the
  // non-central one, and sigma is each channel's. 1 is the Rician case.
  int coils = 1;
  // Threads (at most eight here, and never more than the volume's block
  // slices) and the interrupt query, as for the filters; the instruction
  // set is not read. The result has the same bits for any thread count.
  platform::CallOptions options;
  // When set, rows*cols*slices entries: on kOk, 1 for each voxel the
  // background estimate took as air when its fit passed its checks
  // (Result::background not NaN), 0 everywhere else.
  unsigned char* background_mask = nullptr;
  // The caller knows the values lie on no value grid (the tiles of a map
  // whose whole volume's do not, see ValueStep): the search for one, a
  // sort of up to 65536 voxels, is skipped.
  bool off_grid = false;
};

// The estimator works on the volume's whole 2x2x2 blocks (an odd last row,
// column or slice is left out), and needs at least this many of them, both in
// the volume and among the blocks that carry data: below that the median it
// takes is too coarse to trust (a relative error of about 15% at 64 blocks).
inline constexpr int kMinBlocks = 64;

// Which estimate a result's sigma is.
enum class Estimator {
  kNone,        // no estimate (the status says why)
  kConstant,    // a constant volume: sigma 0
  kBackground,  // the noise-only voxels of the air around the object
  kTissue,      // the finest wavelet coefficients of the object's flat parts
  kRepeats,     // a series' differences between consecutive volumes (pooled only)
};

// How far the estimate can be trusted (see Result::confidence).
enum class Confidence { kLow, kMedium, kHigh };

// What a result warns of, one bit each; 0 when nothing is amiss.
enum Warning : unsigned {
  kWarnZero = 1u << 0,        // sigma 0 for a volume that is not constant
  kWarnBelowStep = 1u << 1,   // sigma below the step of the data's value grid
  kWarnDisagree = 1u << 2,    // background and tissue differ by more than kDisagreement
  kWarnCorrelated = 1u << 3,  // neighbouring voxels' noise correlates above kMostCorrelation
};

// Background and tissue estimates further apart than this (relative to the
// smaller) fail the check between them.
inline constexpr double kDisagreement = 0.25;
// The filters assume white noise: a lag-1 correlation above this is warned of.
inline constexpr double kMostCorrelation = 0.3;
// Differences between volumes below this share of the volumes' own
// estimate are not noise of independent acquisitions (copied or averaged
// volumes): the repeat estimate is then not used.
inline constexpr double kLeastRepeatShare = 0.5;

struct Result {
  double sigma = 0.0;  // the estimate: the background's when it is found,
                       // else the tissue's
  Estimator estimator = Estimator::kNone;
  Confidence confidence = Confidence::kLow;
  // Each estimate on its own; NaN where it could not be made (no air around
  // the object, or under Gaussian noise, for the background; too few flat
  // blocks for the tissue).
  double background = 0.0, tissue = 0.0;
  // The lag-1 correlation of the noise along rows, columns and slices
  // (measured where sigma was: the background, or the tissue's residual),
  // and the largest of the three.
  double correlation_axes[3] = {0.0, 0.0, 0.0};
  double correlation = 0.0;
  double step = 0.0;      // the value grid's step, 0 when the values lie on none
  int64_t samples = 0;    // the voxels or blocks the estimate rests on
  unsigned warnings = 0;  // Warning bits
};

// Estimates sigma. On kOk *sigma is set (0 for a constant volume);
// otherwise it is left alone. kTooLittleData: fewer than kMinBlocks 2x2x2
// blocks, or fewer than that many whose eight voxels are finite and
// non-zero; kOutOfMemory, kThreadsFailed, kInterrupted: see platform::Status.
Status Estimate(const Request& request, double* sigma);

// Estimates sigma with everything the estimate rests on. On kOk *result is
// set; otherwise it is left alone.
Status Estimate(const Request& request, Result* result);

// Where the voxels of volume t of a series lie (SeriesRequest::volume).
using VolumeSource = std::function<const double*(int64_t t)>;

// A series of volumes of one shape that share one noise level, one after
// another in memory (a 4-D array [rows, cols, slices, count]).
struct SeriesRequest {
  VolumeView first;  // the first volume; volume t starts t * voxels further
  int64_t count = 0;
  NoiseModel model = NoiseModel::kRician;
  int coils = 1;  // as Request's
  platform::CallOptions options;  // as Request's, for each volume's estimate
  // Where volume t lies, when the volumes are not one after another in
  // memory (a series read from its file one volume at a time): valid until
  // the next call, first's shape; null stops the estimate (kInterrupted).
  // Unset: first.data + t * voxels. Asked for in order, from the first
  // again for each later look.
  VolumeSource volume;
  unsigned char* background_mask = nullptr;  // as Request's, count volumes of entries
  bool off_grid = false;                     // as Request's
};

struct SeriesResult {
  // The series' sigma: the median of the volumes' estimates weighted by the
  // samples each rests on, so a few volumes read wrong (a volume of little
  // signal, a corrupted one) cannot move it. When no volume holds enough
  // data on its own, the volumes are taken together as one volume of
  // count * slices slices. When the differences between consecutive
  // volumes (repeats of one acquisition) give a lower sigma, but not below
  // kLeastRepeatShare of it, that one (Estimator::kRepeats; samples: the
  // differences it rests on).
  Result pooled;
  double repeats = 0.0;  // the repeat estimate; NaN when no pair had enough voxels
  int64_t estimated = 0;  // the volumes with an estimate of their own
};

// Estimates each volume into per_volume[t] (status kTooLittleData marks a
// volume too small for an estimate of its own: its result has
// Estimator::kNone and sigma NaN) and pools them. kOk when a pooled sigma
// was found; kTooLittleData when the series as a whole holds too little
// data; kOutOfMemory, kThreadsFailed and kInterrupted as Estimate.
Status EstimateSeries(const SeriesRequest& request, Result* per_volume, SeriesResult* series);

// The step of the value grid all the volume's finite voxels lie on (integer
// data, or integers scaled by a file's slope), 0 for none: the grid
// Estimate finds and checks.
double ValueStep(const VolumeView& volume);

}  // namespace noise_sigma
