// denoisers._core: every call from Python into the C++ cores.
//
// Each function takes one 3-D volume of doubles in column-major order (the
// Python layer converts, splits 4-D input into volumes and checks types) and
// prepares the core's call as the MEX gateways do: the same flag truncation
// and narrowing, zeroed outputs, the same checks with the same identifiers
// and texts, and a core's status reported through platform::ReportOf, the
// gateways' own table. Given the same doubles, the results are the MEX
// files' bits.
//
// The cores keep all state in the call, so calls from several Python
// threads run at once. The call runs on a helper thread with the GIL
// released while the calling thread polls for signals: Ctrl-C raises
// KeyboardInterrupt as soon as the core has returned.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "call.h"
#include "noise_sigma.h"
#include "quillon.h"
#include "rician_bias.h"
#include "rician_flag.h"
#include "rician_mean.h"
#include "tessary.h"

namespace py = pybind11;

namespace {

using Volume = py::array_t<double, py::array::f_style>;
// The voxels a call is asked for: non-zero bytes, a volume's shape.
using Mask = py::array_t<uint8_t, py::array::f_style | py::array::forcecast>;

constexpr int64_t kMaxVoxels = 2147483647;

// The gateways' range test for a scalar that is truncated to a 32-bit
// integer (false for NaN).
bool TruncatesToInt32(double x) { return x > -2147483649.0 && x < 2147483648.0; }

// "<identifier>: <message>", the way the MEX runner prints a host error.
template <class... Args>
std::string Message(const char* id, const char* format, Args... args) {
  char text[512];
  std::snprintf(text, sizeof text, format, args...);
  return std::string(id) + ": " + text;
}

// Raises the error a core's status stands for, as the gateway of `name`
// reports it: MemoryError for memory, RuntimeError for the rest.
void RaiseStatus(const char* name, platform::Status status, platform::Isa isa) {
  const platform::StatusReport report = platform::ReportOf(status, isa);
  if (report.what == nullptr) return;
  const std::string text = std::string(name) + ":" + report.what + ": " + report.message;
  if (status == platform::Status::kOutOfMemory) {
    PyErr_SetString(PyExc_MemoryError, text.c_str());
    throw py::error_already_set();
  }
  throw std::runtime_error(text);
}

struct Shape {
  int64_t rows, cols, slices;
  int64_t Voxels() const { return rows * cols * slices; }
};

Shape ShapeOf(const Volume& v) {
  if (v.ndim() != 3) throw py::value_error("internal: the core takes one 3-D volume");
  return Shape{v.shape(0), v.shape(1), v.shape(2)};
}

// The mask's bytes, after checking that it covers the volume; null for none.
const unsigned char* MaskOf(const std::optional<Mask>& mask, const Shape& shape) {
  if (!mask) return nullptr;
  if (mask->ndim() != 3 || mask->shape(0) != shape.rows || mask->shape(1) != shape.cols ||
      mask->shape(2) != shape.slices)
    throw py::value_error("internal: the mask must have the volume's shape");
  return mask->data();
}

// Where a chunk lies in its whole volume, checked.
platform::Chunk ChunkOf(int whole_slices, int first_slice, const Shape& shape) {
  const platform::Chunk chunk{whole_slices, first_slice};
  if (whole_slices < 0 || !chunk.Valid(static_cast<int>(shape.slices)))
    throw py::value_error("internal: the chunk's slices must lie within its whole volume's");
  return chunk;
}

Volume Zeros(const Shape& s) {
  Volume v({s.rows, s.cols, s.slices});
  std::fill_n(v.mutable_data(), s.Voxels(), 0.0);
  return v;
}

// The cores' interrupt query: asked on the helper thread that runs the
// core, it reads what this thread's signal checks found.
bool StopRequested(void* flag) { return static_cast<const std::atomic<bool>*>(flag)->load(); }

// Runs `work` on a helper thread with the GIL released, and checks for
// signals every 50 ms meanwhile. A signal (such as Ctrl-C) makes the core
// stop through `options`' interrupt query, when given, and its exception
// (KeyboardInterrupt) is raised once the work has returned. Without a
// helper thread (the system refuses one) the work runs here, still without
// the GIL, and a Ctrl-C waits for the next Python statement.
template <class Work>
void RunReleased(Work work, platform::CallOptions* options = nullptr) {
  std::atomic<bool> stop{false};
  if (options != nullptr) {
    options->interrupt_query = &StopRequested;
    options->interrupt_context = &stop;
  }
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  bool interrupted = false;
  {
    py::gil_scoped_release release;
    // The work never throws (the cores are noexcept), so the helper needs
    // no exception channel.
    std::thread helper;
    try {
      helper = std::thread([&] {
        work();
        std::lock_guard<std::mutex> g(m);
        done = true;
        cv.notify_one();
      });
    } catch (const std::system_error&) {
      work();
      return;
    }
    std::unique_lock<std::mutex> g(m);
    while (!cv.wait_for(g, std::chrono::milliseconds(50), [&] { return done; })) {
      if (interrupted) continue;
      g.unlock();
      {
        py::gil_scoped_acquire acquire;
        interrupted = PyErr_CheckSignals() != 0;
      }
      if (interrupted) stop = true;
      g.lock();
    }
    g.unlock();
    helper.join();
  }
  if (interrupted) throw py::error_already_set();
}

// The work of a call was stopped by a signal whose exception is still to
// come: PyErr_CheckSignals raises it now (a handler that returned leaves
// the call interrupted all the same).
void RaiseInterrupted(const char* name) {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  RaiseStatus(name, platform::Status::kInterrupted, platform::Isa::kAuto);
}

// The gateway's refusal of a volume with a side below a 4x4x4 block.
void CheckQuillonSides(const Shape& shape) {
  static const char* const kNames[3][2] = {{"row", "rows"}, {"column", "columns"},
                                           {"slice", "slices"}};
  const int64_t sides[3] = {shape.rows, shape.cols, shape.slices};
  for (int d = 0; d < 3; ++d) {
    if (sides[d] >= 4) continue;
    const std::string dims = std::to_string(shape.rows) + "x" + std::to_string(shape.cols) + "x" +
                             std::to_string(shape.slices);
    throw py::value_error(Message("quillon:size",
                                  "The volume (input 1) is %s: it has %d %s, and quillon needs at "
                                  "least 4 rows, 4 columns and 4 slices (the side of its 4x4x4 "
                                  "blocks).",
                                  dims.c_str(), static_cast<int>(sides[d]),
                                  kNames[d][sides[d] == 1 ? 0 : 1]));
  }
}

// table_largest: the value that sizes the Rician bias table; negative for
// the volume's own largest value (the MEX call). A piece of a larger volume
// passes the whole volume's, so that its table, and with it every corrected
// value, is the one the whole-volume call uses.
py::object Quillon(const Volume& noisy, double sigma, double flag, bool return_first,
                   double table_largest, int threads, const std::optional<Mask>& mask,
                   int whole_slices, int first_slice) {
  const Shape shape = ShapeOf(noisy);
  if (!TruncatesToInt32(flag)) {
    throw py::value_error(Message("quillon:rician",
                                  "The Rician flag (input 3) must be a number within the 32-bit "
                                  "integer range; got %g.",
                                  flag));
  }
  const int64_t count = shape.Voxels();
  if (count > kMaxVoxels) {
    throw py::value_error(Message("quillon:size",
                                  "The volume has more than 2147483647 voxels in its first three "
                                  "dimensions; split it into smaller volumes."));
  }
  if (!(std::isfinite(sigma) && sigma >= 0.0)) {
    throw py::value_error(Message("quillon:sigma",
                                  "sigma (input 2) must be a finite number of at least 0 (0: no "
                                  "noise); got %g.",
                                  sigma));
  }
  if (count > 0) CheckQuillonSides(shape);

  Volume out = Zeros(shape);
  Volume first;
  if (return_first) first = Zeros(shape);
  if (count == 0) return return_first ? py::object(py::make_tuple(out, first)) : py::object(out);
  if (sigma == 0.0) {  // no noise: the input back, as the gateway gives it
    std::copy_n(noisy.data(), count, out.mutable_data());
    if (return_first) std::copy_n(noisy.data(), count, first.mutable_data());
    return return_first ? py::object(py::make_tuple(out, first)) : py::object(out);
  }

  quillon::Request request;
  request.rows = static_cast<int>(shape.rows);
  request.cols = static_cast<int>(shape.cols);
  request.slices = static_cast<int>(shape.slices);
  request.noisy = noisy.data();
  request.denoised = out.mutable_data();
  if (return_first) request.first_estimate = first.mutable_data();
  request.sigma = sigma;
  request.rician = static_cast<int>(flag);
  request.table_largest = table_largest;
  request.mask = MaskOf(mask, shape);
  request.chunk = ChunkOf(whole_slices, first_slice, shape);
  request.options.threads = threads;
  // Scratch and the Rician table are the core's own allocations.
  platform::Status status = platform::Status::kOk;
  RunReleased([&] { status = quillon::Denoise(request); }, &request.options);
  if (status == platform::Status::kInterrupted) RaiseInterrupted("quillon");
  if (status == platform::Status::kValueRange) {
    throw py::value_error(Message("quillon:range",
                                  "With Rician noise the largest voxel value must be at most %.0f "
                                  "(it is %g); scale the volume (and sigma) down.",
                                  quillon::kLargestRicianValue, table_largest >= 0.0 ? table_largest
                                                       : quillon::LargestValue(request.noisy, count)));
  }
  RaiseStatus("quillon", status, request.options.isa);
  if (return_first) return py::make_tuple(out, first);
  return out;
}

// The gateway's check of an input that is truncated to a 32-bit integer.
void CheckInteger(double x, int input, const char* name) {
  if (!TruncatesToInt32(x)) {
    throw py::value_error(Message("tessary:range",
                                  "Input %d (%s) must truncate to a 32-bit signed integer "
                                  "(-2147483648 to 2147483647).",
                                  input, name));
  }
}

Volume Tessary(const Volume& noisy, double radius, double sigma, const Volume& guide,
               double flag, int threads, const std::optional<Mask>& mask, int whole_slices,
               int first_slice) {
  const Shape shape = ShapeOf(noisy);
  const int64_t voxels = shape.Voxels();
  if (voxels > kMaxVoxels) {
    throw py::value_error(Message("tessary:size", "The volume %lldx%lldx%lld holds more than "
                                  "2147483647 voxels.",
                                  static_cast<long long>(shape.rows),
                                  static_cast<long long>(shape.cols),
                                  static_cast<long long>(shape.slices)));
  }
  CheckInteger(radius, 2, "search radius");
  if (!std::isfinite(sigma)) {
    throw py::value_error(Message("tessary:sigma", "Input 4 (sigma) must be a finite number; got %g.",
                                  sigma));
  }
  CheckInteger(flag, 6, "Rician flag");
  const Shape g = ShapeOf(guide);
  if (g.rows != shape.rows || g.cols != shape.cols || g.slices != shape.slices) {
    throw py::value_error(Message(
        "tessary:guideSize",
        "Input 5 (the guide) must have the dimensions of input 1: %lldx%lldx%lld, got "
        "%lldx%lldx%lld.",
        static_cast<long long>(shape.rows), static_cast<long long>(shape.cols),
        static_cast<long long>(shape.slices), static_cast<long long>(g.rows),
        static_cast<long long>(g.cols), static_cast<long long>(g.slices)));
  }

  Volume out = Zeros(shape);
  if (voxels == 0) return out;
  if (sigma == 0.0) {  // no noise: the input back, as the gateway gives it
    std::copy_n(noisy.data(), voxels, out.mutable_data());
    return out;
  }

  tessary::Request request;
  request.rows = static_cast<int>(shape.rows);
  request.cols = static_cast<int>(shape.cols);
  request.slices = static_cast<int>(shape.slices);
  request.noisy = noisy.data();
  request.guide = guide.data();
  request.denoised = out.mutable_data();
  request.search_radius = static_cast<int>(radius);
  request.sigma = sigma;
  request.rician = tessary::RicianFlag(flag);
  request.mask = MaskOf(mask, shape);
  request.chunk = ChunkOf(whole_slices, first_slice, shape);
  platform::Status status = platform::Status::kOk;
  request.options.threads = threads;
  RunReleased([&] { status = tessary::Denoise(request); }, &request.options);
  if (status == platform::Status::kInterrupted) RaiseInterrupted("tessary");
  RaiseStatus("tessary", status, request.options.isa);
  return out;
}

// Raises the error of a failed estimate, as the gateway reports it; returns
// for kOk and kTooSmall (which the callers turn into None).
void RaiseNoiseStatus(noise_sigma::Status status) {
  if (status == noise_sigma::Status::kThreadsFailed)
    RaiseStatus("noise_sigma", platform::Status::kThreadsFailed, platform::Isa::kAuto);
  if (status == noise_sigma::Status::kNoMemory)
    RaiseStatus("noise_sigma", platform::Status::kOutOfMemory, platform::Isa::kAuto);
}

// sigma of one volume, or None when the volume has too few 2x2x2 blocks
// that carry data (the Python layer words that error, naming the volume).
py::object NoiseSigma(const Volume& volume, bool rician, int threads) {
  const Shape shape = ShapeOf(volume);
  if (shape.Voxels() > kMaxVoxels) {
    throw py::value_error(Message("noise_sigma:size",
                                  "Each volume may hold at most 2147483647 voxels, and the "
                                  "series at most 2147483647 volumes; split the array."));
  }
  noise_sigma::Request request;
  request.volume = {volume.data(), static_cast<int>(shape.rows), static_cast<int>(shape.cols),
                    static_cast<int>(shape.slices)};
  request.model = rician ? noise_sigma::NoiseModel::kRician : noise_sigma::NoiseModel::kGaussian;
  request.max_threads = threads;
  double sigma = 0.0;
  noise_sigma::Status status = noise_sigma::Status::kOk;
  RunReleased([&] { status = noise_sigma::Estimate(request, &sigma); });
  if (status == noise_sigma::Status::kOk) return py::float_(sigma);
  RaiseNoiseStatus(status);
  return py::none();
}

const char* EstimatorName(noise_sigma::Estimator e) {
  switch (e) {
    case noise_sigma::Estimator::kConstant: return "constant";
    case noise_sigma::Estimator::kBackground: return "background";
    case noise_sigma::Estimator::kTissue: return "tissue";
    case noise_sigma::Estimator::kNone: break;
  }
  return "none";
}

py::dict Diagnostics(const noise_sigma::Result& r) {
  static const char* const kConfidence[] = {"low", "medium", "high"};
  py::dict d;
  d["sigma"] = r.sigma;
  d["estimator"] = EstimatorName(r.estimator);
  d["confidence"] = kConfidence[static_cast<int>(r.confidence)];
  d["background"] = r.background;
  d["tissue"] = r.tissue;
  d["correlation"] = r.correlation;
  d["correlation_axes"] = py::make_tuple(r.correlation_axes[0], r.correlation_axes[1],
                                         r.correlation_axes[2]);
  d["step"] = r.step;
  d["samples"] = r.samples;
  d["warnings"] = r.warnings;
  return d;
}

// A series [rows, cols, slices, volumes] (column-major) that shares one
// noise level: (pooled diagnostics, one per volume with sigma NaN for a
// volume too small for its own estimate), or None when the series as a
// whole holds too little data.
py::object NoiseSigmaSeries(const py::array_t<double, py::array::f_style>& series, bool rician,
                            int threads) {
  if (series.ndim() != 4) throw py::value_error("internal: the core takes a 4-D series");
  const Shape shape{series.shape(0), series.shape(1), series.shape(2)};
  if (shape.Voxels() > kMaxVoxels || series.shape(3) > kMaxVoxels) {
    throw py::value_error(Message("noise_sigma:size",
                                  "Each volume may hold at most 2147483647 voxels, and the "
                                  "series at most 2147483647 volumes; split the array."));
  }
  noise_sigma::SeriesRequest request;
  request.first = {series.data(), static_cast<int>(shape.rows), static_cast<int>(shape.cols),
                   static_cast<int>(shape.slices)};
  request.count = series.shape(3);
  request.model = rician ? noise_sigma::NoiseModel::kRician : noise_sigma::NoiseModel::kGaussian;
  request.max_threads = threads;
  std::vector<noise_sigma::Result> volumes(static_cast<std::size_t>(request.count));
  noise_sigma::SeriesResult pooled;
  noise_sigma::Status status = noise_sigma::Status::kOk;
  RunReleased([&] { status = noise_sigma::EstimateSeries(request, volumes.data(), &pooled); });
  if (status != noise_sigma::Status::kOk) {
    RaiseNoiseStatus(status);
    return py::none();
  }
  py::list each;
  for (const auto& r : volumes) each.append(Diagnostics(r));
  return py::make_tuple(Diagnostics(pooled.pooled), each);
}

// The Rician bias removed from an averaged magnitude estimate, voxel by
// voxel (quillon::CorrectRicianMean): a new volume. The pipeline checks
// sigma; the core refuses what it cannot map.
Volume RicianMean(const Volume& estimate, double sigma, int threads) {
  const Shape shape = ShapeOf(estimate);
  Volume out = Zeros(shape);
  platform::CallOptions options;
  options.threads = threads;
  platform::Status status = platform::Status::kOk;
  RunReleased([&] {
    status = quillon::CorrectRicianMean(estimate.data(), out.mutable_data(), shape.Voxels(),
                                        sigma, options);
  });
  if (status == platform::Status::kInvalidRequest)
    throw py::value_error("rician_mean: sigma must be finite and not negative");
  RaiseStatus("rician_mean", status, platform::Isa::kAuto);
  return out;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The C++ cores on one 3-D column-major volume of doubles.";
  m.def("quillon", &Quillon, py::arg("noisy"), py::arg("sigma"), py::arg("flag"),
        py::arg("return_first"), py::arg("table_largest") = -1.0, py::arg("threads") = 0,
        py::arg("mask") = py::none(), py::arg("whole_slices") = 0, py::arg("first_slice") = 0,
        "quillon(noisy, sigma, flag, return_first, table_largest=-1.0, threads=0, mask=None, "
        "whole_slices=0, first_slice=0) -> out or (out, first); voxels outside a mask keep their "
        "input value; a chunk of a volume of whole_slices slices, from its first_slice, is cut "
        "into the whole call's slabs");
  m.def("tessary", &Tessary, py::arg("noisy"), py::arg("radius"), py::arg("sigma"),
        py::arg("guide"), py::arg("flag"), py::arg("threads") = 0, py::arg("mask") = py::none(),
        py::arg("whole_slices") = 0, py::arg("first_slice") = 0,
        "tessary(noisy, radius, sigma, guide, flag, threads=0, mask=None, whole_slices=0, "
        "first_slice=0) -> out; as quillon's");
  m.def("noise_sigma", &NoiseSigma, py::arg("volume"), py::arg("rician"), py::arg("threads") = 0,
        "noise_sigma(volume, rician, threads=0) -> sigma, or None for too few data blocks");
  m.def("noise_sigma_series", &NoiseSigmaSeries, py::arg("series"), py::arg("rician"),
        py::arg("threads") = 0,
        "noise_sigma_series(series, rician, threads=0) -> (pooled, [per volume]) diagnostics "
        "dicts, or None for too little data in the whole series");
  m.def("rician_mean", &RicianMean, py::arg("estimate"), py::arg("sigma"), py::arg("threads") = 0,
        "rician_mean(estimate, sigma, threads=0) -> the true values whose expected Rician "
        "magnitudes the estimate holds");
  m.attr("MIN_BLOCKS") = noise_sigma::kMinBlocks;
  m.attr("WARN_ZERO") = static_cast<unsigned>(noise_sigma::kWarnZero);
  m.attr("WARN_BELOW_STEP") = static_cast<unsigned>(noise_sigma::kWarnBelowStep);
  m.attr("WARN_DISAGREE") = static_cast<unsigned>(noise_sigma::kWarnDisagree);
  m.attr("WARN_CORRELATED") = static_cast<unsigned>(noise_sigma::kWarnCorrelated);
  m.attr("DISAGREEMENT") = noise_sigma::kDisagreement;
  m.attr("MOST_CORRELATION") = noise_sigma::kMostCorrelation;
}
