// denoisers._core: every call from Python into the C++ cores.
//
// Each function takes what its MEX function takes, as numpy arrays or
// anything numpy reads as one (numbers, sequences): a volume, or a series of
// volumes along the fourth and later axes, in column-major order. The
// binding only converts: real numbers become doubles (Python also takes
// integer and float32 arrays the MEX files refuse), everything else is
// described as what it is, and the contract (contract/) checks the call and
// runs the core on each volume, as it does for the MEX gateways. A refusal
// raises its identifier and text: TypeError for the wrong kind of value,
// ValueError for a wrong value, MemoryError, and RuntimeError for the rest.
// Given the same doubles, the results are the MEX files' bits.
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
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "noise_sigma_contract.h"
#include "quillon_contract.h"
#include "tessary_contract.h"
#include "rician_mean.h"

namespace py = pybind11;

namespace {

using Doubles = py::array_t<double, py::array::f_style | py::array::forcecast>;
// The voxels a call is asked for: non-zero bytes, a volume's shape.
using Mask = py::array_t<uint8_t, py::array::f_style | py::array::forcecast>;

// A Python value described for the contract, with what holds its numbers.
struct Described {
  py::array array;
  std::vector<int> dims;
  contract::Argument argument;
};

Described Describe(const py::handle& value) {
  Described d;
  d.array = py::module_::import("numpy").attr("asarray")(value);
  const py::ssize_t ndim = d.array.ndim();
  for (py::ssize_t k = 0; k < ndim; ++k) {
    const py::ssize_t n = d.array.shape(k);
    d.dims.push_back(n <= INT32_MAX ? static_cast<int>(n) : -1);
  }
  while (d.dims.size() < 2) d.dims.push_back(1);  // as the hosts count: a scalar is 1x1
  contract::Argument& a = d.argument;
  a.ndim = static_cast<int>(d.dims.size());
  a.dims = d.dims.data();
  a.elements = static_cast<std::size_t>(d.array.size());
  const char kind = d.array.dtype().kind();
  if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
    a.kind = contract::Argument::Kind::kOther;
    return d;
  }
  d.array = Doubles::ensure(d.array);
  if (!d.array) throw py::error_already_set();
  const auto* data = static_cast<const double*>(d.array.data());
  // A logical value is a number, but never a double array.
  a.kind = kind == 'b' ? contract::Argument::Kind::kNumeric : contract::Argument::Kind::kDouble;
  if (a.kind == contract::Argument::Kind::kDouble) a.data = data;
  if (a.elements == 1) a.scalar = data[0];
  return d;
}

// An optional input: None is left out, as a MEX caller leaves it out.
Described DescribeOptional(const py::object& value) {
  if (value.is_none()) return Described{};
  return Describe(value);
}

// An uninitialised float64 array of `like`'s shape, in Fortran order: the
// cores write every element.
py::array_t<double> Like(const py::array& like) {
  std::vector<py::ssize_t> shape(like.shape(), like.shape() + like.ndim());
  return py::array_t<double, py::array::f_style>(shape);
}

[[noreturn]] void Raise(const contract::Refusal& r) {
  const std::string text = std::string(r.id) + ": " + r.message;
  PyObject* type = PyExc_RuntimeError;
  switch (r.fault) {
    case contract::Fault::kKind: type = PyExc_TypeError; break;
    case contract::Fault::kValue: type = PyExc_ValueError; break;
    case contract::Fault::kMemory: type = PyExc_MemoryError; break;
    // The work was stopped by a signal whose exception is still to come:
    // PyErr_CheckSignals raises it now (a handler that returned leaves the
    // call interrupted all the same).
    case contract::Fault::kInterrupted:
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      break;
    case contract::Fault::kThreads:
    case contract::Fault::kOther: break;
  }
  PyErr_SetString(type, text.c_str());
  throw py::error_already_set();
}

// The cores' interrupt query: asked on the helper thread that runs the
// core, it reads what this thread's signal checks found.
bool StopRequested(void* flag) { return static_cast<const std::atomic<bool>*>(flag)->load(); }

// Runs `work` on a helper thread with the GIL released, and checks for
// signals every 50 ms meanwhile. A signal (such as Ctrl-C) makes the core
// stop through `options`' interrupt query, and its exception
// (KeyboardInterrupt) is raised once the work has returned. Without a
// helper thread (the system refuses one) the work runs here, still without
// the GIL, and a Ctrl-C waits for the next Python statement. `progress`,
// when not None, is called at the same pace with the share of the volume's
// work done whenever it moved; an exception it raises stops the work and
// is raised in the same way.
template <class Work>
void RunReleased(Work work, platform::CallOptions& options,
                 const py::object& progress = py::none()) {
  std::atomic<bool> stop{false};
  options.interrupt_query = &StopRequested;
  options.interrupt_context = &stop;
  std::atomic<double> share{0.0};
  double shown = 0.0;
  if (!progress.is_none()) options.progress = &share;
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  bool interrupted = false;
  {
    py::gil_scoped_release release;
    // The work never throws (the contract and the cores do not), so the
    // helper needs no exception channel.
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
        const double now = share.load(std::memory_order_relaxed);
        if (!interrupted && options.progress != nullptr && now != shown) {
          shown = now;
          try {
            progress(now);
          } catch (py::error_already_set& e) {
            e.restore();
            interrupted = true;
          }
        }
      }
      if (interrupted) stop = true;
      g.lock();
    }
    g.unlock();
    helper.join();
  }
  if (interrupted) throw py::error_already_set();
}

// The mask's bytes, after checking that it covers one volume of the series;
// null for none.
const unsigned char* MaskOf(const std::optional<Mask>& mask, const contract::Series& s) {
  if (!mask) return nullptr;
  if (mask->ndim() != 3 || mask->shape(0) != s.rows() || mask->shape(1) != s.cols() ||
      mask->shape(2) != s.slices())
    throw py::value_error("internal: the mask must have one volume's shape");
  return mask->data();
}

// Where each volume lies in a larger one, checked.
platform::Chunk ChunkOf(int whole_slices, int first_slice, const contract::Series& s) {
  const platform::Chunk chunk{whole_slices, first_slice};
  if (whole_slices < 0 || !chunk.Valid(s.slices()))
    throw py::value_error("internal: the chunk's slices must lie within its whole volume's");
  return chunk;
}

// table_largest: None, one number for every volume or one per volume.
std::vector<double> TableLargest(const py::object& given, std::size_t volumes) {
  if (given.is_none()) return {};
  const Doubles values = Doubles::ensure(given);
  if (!values || (values.size() != 1 && static_cast<std::size_t>(values.size()) != volumes)) {
    PyErr_Clear();
    throw py::value_error("quillon: table_largest must be a number, or one per volume");
  }
  if (values.size() == 1) return std::vector<double>(volumes, values.data()[0]);
  return std::vector<double>(values.data(), values.data() + values.size());
}

// The Rician table of the last one-volume quillon call, for the next call
// of the same sigma, table size and coils (the volumes of a series
// denoised one call at a time): the table is the same bits, built once.
// Only tables up to kCachedTableMost doubles are kept past their call.
class LastBiasTable {
 public:
  static constexpr int64_t kCachedTableMost = int64_t{1} << 20;

  // A buffer of `size` doubles for a call of sigma and coils, and whether
  // it holds their table already.
  std::shared_ptr<std::vector<double>> For(double sigma, int64_t size, int coils, bool* ready) {
    std::lock_guard<std::mutex> g(mutex_);
    *ready = table_ && sigma == sigma_ && size == static_cast<int64_t>(table_->size()) &&
             coils == coils_;
    if (*ready) return table_;
    return std::make_shared<std::vector<double>>(static_cast<std::size_t>(size));
  }

  // Keeps `table`, just built for sigma and coils.
  void Keep(double sigma, int coils, std::shared_ptr<std::vector<double>> table) {
    if (static_cast<int64_t>(table->size()) > kCachedTableMost) return;
    std::lock_guard<std::mutex> g(mutex_);
    sigma_ = sigma;
    coils_ = coils;
    table_ = std::move(table);
  }

 private:
  std::mutex mutex_;
  double sigma_ = 0.0;
  int coils_ = 0;
  std::shared_ptr<std::vector<double>> table_;
};

LastBiasTable last_bias_table;

py::object Quillon(const py::object& noisy, const py::object& sigma, const py::object& flag,
                   bool return_first, const py::object& table_largest, int threads,
                   const std::optional<Mask>& mask, int whole_slices, int first_slice,
                   const py::object& coils, const py::object& progress) {
  const Described n = Describe(noisy), s = Describe(sigma), f = Describe(flag),
                  c = DescribeOptional(coils);
  contract::QuillonArguments arguments{n.argument, s.argument, f.argument};
  arguments.coils = c.argument;
  std::vector<double> largest;
  if (n.argument.IsRealDoubleArray()) {
    // The series' volumes, as the contract will count them.
    std::size_t volumes = 1;
    for (std::size_t d = 3; d < n.dims.size(); ++d) volumes *= static_cast<std::size_t>(n.dims[d]);
    largest = TableLargest(table_largest, volumes);
    if (!largest.empty()) arguments.table_largest = largest.data();
  }
  contract::QuillonCall call;
  contract::Refusal refusal;
  if (!contract::CheckQuillon(arguments, call, refusal)) Raise(refusal);

  py::array_t<double> out = Like(n.array), first;
  if (return_first) first = Like(n.array);
  quillon::Request base;
  base.mask = MaskOf(mask, call.series);
  base.chunk = ChunkOf(whole_slices, first_slice, call.series);
  base.options.threads = threads;
  // Scratch is the core's own; the Rician table is given, so that it is
  // built once for a series' volumes of one sigma, in this call or the next.
  std::shared_ptr<std::vector<double>> table;
  const bool one_volume = call.series.volumes == 1;
  if (call.rician > 0 && call.bias_table_doubles > 0) {
    const double sigma0 = call.sigma[0];
    if (one_volume) {
      table = last_bias_table.For(sigma0, call.bias_table_doubles, call.coils,
                                  &base.bias_table_ready);
    } else {
      table = std::make_shared<std::vector<double>>(
          static_cast<std::size_t>(call.bias_table_doubles));
    }
    base.bias_table = table->data();
    base.bias_table_size = call.bias_table_doubles;
  }
  double* first_data = return_first ? first.mutable_data() : nullptr;
  double* out_data = out.mutable_data();
  bool done = false;
  RunReleased([&] { done = contract::RunQuillon(call, base, out_data, first_data, refusal); },
              base.options, progress);
  if (!done) Raise(refusal);
  if (table && one_volume && !base.bias_table_ready && call.sigma[0] > 0.0)
    last_bias_table.Keep(call.sigma[0], call.coils, std::move(table));
  if (return_first) return py::make_tuple(out, first);
  return out;
}

py::array_t<double> Tessary(const py::object& noisy, const py::object& radius,
                            const py::object& sigma, const py::object& guide,
                            const py::object& flag, int threads, const std::optional<Mask>& mask,
                            int whole_slices, int first_slice, const py::object& coils,
                            const py::object& progress) {
  // The MEX function's third input is kept for its calling form only.
  const Described n = Describe(noisy), r = Describe(radius), x = Describe(py::int_(1)),
                  s = Describe(sigma), g = Describe(guide), f = Describe(flag),
                  c = DescribeOptional(coils);
  contract::TessaryCall call;
  contract::Refusal refusal;
  if (!contract::CheckTessary({n.argument, r.argument, x.argument, s.argument, g.argument,
                               f.argument, c.argument},
                              call, refusal))
    Raise(refusal);

  py::array_t<double> out = Like(n.array);
  tessary::Request base;
  base.mask = MaskOf(mask, call.series);
  base.chunk = ChunkOf(whole_slices, first_slice, call.series);
  base.options.threads = threads;
  double* out_data = out.mutable_data();
  bool done = false;
  RunReleased([&] { done = contract::RunTessary(call, base, out_data, refusal); }, base.options,
              progress);
  if (!done) Raise(refusal);
  return out;
}

// sigma of each volume of the series, as a list.
std::vector<double> NoiseSigma(const py::object& volume, const py::object& rician, int threads,
                               const py::object& coils) {
  const Described v = Describe(volume), f = Describe(rician), c = DescribeOptional(coils);
  contract::NoiseSigmaCall call;
  contract::Refusal refusal;
  contract::NoiseSigmaArguments arguments{v.argument, f.argument};
  arguments.coils = c.argument;
  if (!contract::CheckNoiseSigma(arguments, call, refusal)) Raise(refusal);
  std::vector<double> sigmas(static_cast<std::size_t>(call.volumes));
  noise_sigma::Request base;
  base.options.threads = threads;
  bool done = false;
  RunReleased([&] { done = contract::RunNoiseSigma(call, base, sigmas.data(), refusal); },
              base.options);
  if (!done) Raise(refusal);
  return sigmas;
}

const char* EstimatorName(noise_sigma::Estimator e) {
  switch (e) {
    case noise_sigma::Estimator::kConstant: return "constant";
    case noise_sigma::Estimator::kBackground: return "background";
    case noise_sigma::Estimator::kTissue: return "tissue";
    case noise_sigma::Estimator::kRepeats: return "repeats";
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

// The pooled estimate of a checked call: (pooled diagnostics, one per volume
// with sigma NaN for a volume too small for its own estimate), and given
// `air` (uint8 of the series' shape) the voxels each volume's background
// estimate took as air.
py::tuple SeriesDiagnostics(const contract::NoiseSigmaCall& call, int threads,
                            py::array_t<uint8_t, py::array::f_style>* air = nullptr) {
  std::vector<noise_sigma::Result> volumes(static_cast<std::size_t>(call.volumes));
  noise_sigma::SeriesResult pooled;
  noise_sigma::Request base;
  base.options.threads = threads;
  contract::Refusal refusal;
  if (air != nullptr) base.background_mask = air->mutable_data();
  bool done = false;
  RunReleased(
      [&] {
        done = contract::RunNoiseSigmaSeries(call, base, volumes.data(), &pooled, refusal);
      },
      base.options);
  if (!done) Raise(refusal);
  py::list each;
  for (const auto& r : volumes) each.append(Diagnostics(r));
  if (air != nullptr) return py::make_tuple(Diagnostics(pooled.pooled), each, *air);
  return py::make_tuple(Diagnostics(pooled.pooled), each);
}

contract::NoiseSigmaCall CheckedSeries(const Described& v, const py::object& rician,
                                       const py::object& coils) {
  const Described f = Describe(rician), c = DescribeOptional(coils);
  contract::NoiseSigmaArguments arguments{v.argument, f.argument};
  arguments.pooled = true;
  arguments.coils = c.argument;
  contract::NoiseSigmaCall call;
  contract::Refusal refusal;
  if (!contract::CheckNoiseSigma(arguments, call, refusal)) Raise(refusal);
  return call;
}

// A series [rows, cols, slices, volumes...] (column-major) that shares one
// noise level; with background_mask also the air each volume's background
// estimate used.
py::tuple NoiseSigmaSeries(const py::object& series, const py::object& rician, int threads,
                           bool background_mask, const py::object& coils, bool off_grid) {
  const Described v = Describe(series);
  contract::NoiseSigmaCall call = CheckedSeries(v, rician, coils);
  call.off_grid = off_grid;
  if (!background_mask) return SeriesDiagnostics(call, threads);
  py::array_t<uint8_t, py::array::f_style> air(
      std::vector<py::ssize_t>(v.array.shape(), v.array.shape() + v.array.ndim()));
  return SeriesDiagnostics(call, threads, &air);
}

// The same for a series of `count` volumes read one at a time, in order:
// read_volume(t) returns volume t as a float64, Fortran-ordered 3-D array
// (a file's volumes, so that the series never is in memory at once).
py::tuple NoiseSigmaStreamed(const py::function& read_volume, int64_t count,
                             const py::object& rician, int threads, const py::object& coils) {
  if (count < 1) throw py::value_error("noise_sigma_streamed: count must be positive");
  py::object current = read_volume(0);
  const Described v = Describe(current);
  contract::NoiseSigmaCall call = CheckedSeries(v, rician, coils);
  if (call.volumes != 1) throw py::value_error("noise_sigma_streamed: one 3-D volume at a time");
  const std::vector<py::ssize_t> shape(v.array.shape(), v.array.shape() + 3);
  call.volumes = count;
  int64_t held = 0;
  std::exception_ptr failure;
  call.volume = [&](int64_t t) -> const double* {
    py::gil_scoped_acquire acquire;
    try {
      if (t != held) {
        current = read_volume(t);
        held = t;
      }
      using Volume = py::array_t<double, py::array::f_style>;
      if (!Volume::check_(current) || py::array(current).ndim() != 3 ||
          !std::equal(shape.begin(), shape.end(), py::array(current).shape()))
        throw py::value_error("noise_sigma_streamed: read_volume must return float64, "
                              "Fortran-ordered volumes of the first one's shape");
      return static_cast<const double*>(py::array(current).data());
    } catch (...) {
      failure = std::current_exception();
      return nullptr;
    }
  };
  try {
    py::tuple result = SeriesDiagnostics(call, threads);
    if (failure) std::rethrow_exception(failure);
    return result;
  } catch (...) {
    if (failure) std::rethrow_exception(failure);
    throw;
  }
}

// The Rician bias removed from an averaged magnitude estimate, voxel by
// voxel (quillon::CorrectRicianMean): a new array of the estimate's shape.
// Not a MEX function: the pipeline checks sigma, and the core refuses what
// it cannot map.
py::array_t<double> RicianMean(const Doubles& estimate, double sigma, int threads) {
  py::array_t<double> out = Like(estimate);
  platform::CallOptions options;
  options.threads = threads;
  const double* in = estimate.data();
  double* values = out.mutable_data();
  const auto count = static_cast<int64_t>(estimate.size());
  platform::Status status = platform::Status::kOk;
  RunReleased([&] { status = quillon::CorrectRicianMean(in, values, count, sigma, options); },
              options);
  contract::Refusal refusal;
  switch (status) {
    case platform::Status::kOk:
      return out;
    case platform::Status::kInvalidRequest:
      contract::Refuse(refusal, "rician_mean", "sigma", contract::Fault::kValue,
                       "sigma must be finite and not negative.");
      break;
    case platform::Status::kOutOfMemory:
      contract::Refuse(refusal, "rician_mean", "memory", contract::Fault::kMemory,
                       "Out of memory.");
      break;
    case platform::Status::kInterrupted:
      contract::Refuse(refusal, "rician_mean", "interrupted", contract::Fault::kInterrupted,
                       "Interrupted.");
      break;
    default:
      contract::Refuse(refusal, "rician_mean", "internal", contract::Fault::kOther, "%s",
                       platform::StatusName(status));
  }
  Raise(refusal);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The C++ cores through the contract of the MEX functions, on numpy arrays.";
  m.def("quillon", &Quillon, py::arg("noisy"), py::arg("sigma"), py::arg("flag"),
        py::arg("return_first"), py::arg("table_largest") = py::none(), py::arg("threads") = 0,
        py::arg("mask") = py::none(), py::arg("whole_slices") = 0, py::arg("first_slice") = 0,
        py::arg("coils") = py::none(), py::arg("progress") = py::none(),
        "quillon(noisy, sigma, flag, return_first, table_largest=None, threads=0, mask=None, "
        "whole_slices=0, first_slice=0, coils=None, progress=None) -> out or (out, first); "
        "coils: the MEX function's optional fourth input (None: left out); progress: called "
        "with the share (0 to 1) of a volume's work done as it moves; table_largest sizes each "
        "volume's Rician table in place of its own largest value (one, or one per volume); "
        "voxels outside a mask (one volume's shape) keep their input value; a chunk of a "
        "volume of whole_slices slices, from its first_slice, is cut into the whole call's "
        "slabs");
  m.def("tessary", &Tessary, py::arg("noisy"), py::arg("radius"), py::arg("sigma"),
        py::arg("guide"), py::arg("flag"), py::arg("threads") = 0, py::arg("mask") = py::none(),
        py::arg("whole_slices") = 0, py::arg("first_slice") = 0, py::arg("coils") = py::none(),
        py::arg("progress") = py::none(),
        "tessary(noisy, radius, sigma, guide, flag, threads=0, mask=None, whole_slices=0, "
        "first_slice=0, coils=None, progress=None) -> out; as quillon's");
  m.def("noise_sigma", &NoiseSigma, py::arg("volume"), py::arg("rician"), py::arg("threads") = 0,
        py::arg("coils") = py::none(),
        "noise_sigma(volume, rician, threads=0, coils=None) -> [sigma of each volume]; coils: "
        "the MEX file's optional third input (each channel's sigma of a sum of squares)");
  m.def("noise_sigma_series", &NoiseSigmaSeries, py::arg("series"), py::arg("rician"),
        py::arg("threads") = 0, py::arg("background_mask") = false, py::arg("coils") = py::none(),
        py::arg("off_grid") = false,
        "noise_sigma_series(series, rician, threads=0, background_mask=False, coils=None, "
        "off_grid=False) -> "
        "(pooled, [per volume]) diagnostics dicts, and with background_mask the air each "
        "volume's background estimate used (uint8, the series' shape); the volumes share one "
        "noise level, and a volume too small for an estimate of its own is estimated with the "
        "others; coils as noise_sigma's; off_grid: the values are known to lie on no value "
        "grid (see value_step), which skips the search for one");
  m.def(
      "value_step",
      [](const Doubles& volume) {
        if (volume.ndim() < 1) return 0.0;
        // Every voxel of the array, as one volume of a single row and column.
        const auto count = std::min<py::ssize_t>(volume.size(), INT32_MAX);
        const noise_sigma::VolumeView view{volume.data(), 1, 1, static_cast<int>(count)};
        return noise_sigma::ValueStep(view);
      },
      py::arg("volume"),
      "value_step(volume) -> the step of the value grid its finite values lie on, 0 for none");
  m.def("noise_sigma_streamed", &NoiseSigmaStreamed, py::arg("read_volume"), py::arg("count"),
        py::arg("rician"), py::arg("threads") = 0, py::arg("coils") = py::none(),
        "noise_sigma_streamed(read_volume, count, rician, threads=0, coils=None) -> "
        "noise_sigma_series' "
        "result for a series of count volumes that read_volume(t) returns one at a time, in "
        "order");
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
