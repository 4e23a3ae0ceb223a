// denoisers._core: every call from Python into the two C++ cores.
//
// Each function takes one 3-D volume of doubles in column-major order (the
// Python layer converts, splits 4-D input into volumes and checks types) and
// prepares the core's call exactly as the MEX gateways do: the same flag
// truncation and narrowing, the same bias table length from the largest
// value, zeroed output and scratch volumes, the same checks with the same
// identifiers and texts. Given the same doubles, the results are the MEX
// files' bits.
//
// The cores keep per-call state in module-level variables, so each core runs
// one call at a time (a lock per core). The call itself runs on a helper
// thread with the GIL released, while the calling thread polls for signals:
// Ctrl-C raises KeyboardInterrupt as soon as the core has returned (the
// cores have no way yet to be stopped half way).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Both cores name their entry header denoise.h, so each is included by path.
#include "../../quillon/denoise.h"
#include "../../quillon/rician_bias.h"
#include "../../tessary/denoise.h"
#include "../../tessary/rician_flag.h"

namespace py = pybind11;

namespace {

using Volume = py::array_t<double, py::array::f_style>;

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

struct Shape {
  int64_t rows, cols, slices;
  int64_t Voxels() const { return rows * cols * slices; }
};

Shape ShapeOf(const Volume& v) {
  if (v.ndim() != 3) throw py::value_error("internal: the core takes one 3-D volume");
  return Shape{v.shape(0), v.shape(1), v.shape(2)};
}

Volume Zeros(const Shape& s) {
  Volume v({s.rows, s.cols, s.slices});
  std::fill_n(v.mutable_data(), s.Voxels(), 0.0);
  return v;
}

// Runs `work` on a helper thread holding `core_lock`, with the GIL released,
// and checks for signals every 50 ms meanwhile. A signal's exception (such
// as KeyboardInterrupt) is raised once the work has returned, and so is an
// exception of the work itself.
template <class Work>
void RunReleased(std::mutex& core_lock, Work work) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  bool interrupted = false;
  std::exception_ptr failure;
  {
    py::gil_scoped_release release;
    std::thread helper([&] {
      try {
        std::lock_guard<std::mutex> core(core_lock);
        work();
      } catch (...) {
        failure = std::current_exception();
      }
      std::lock_guard<std::mutex> g(m);
      done = true;
      cv.notify_one();
    });
    std::unique_lock<std::mutex> g(m);
    while (!cv.wait_for(g, std::chrono::milliseconds(50), [&] { return done; })) {
      if (interrupted) continue;
      g.unlock();
      {
        py::gil_scoped_acquire acquire;
        interrupted = PyErr_CheckSignals() != 0;
      }
      g.lock();
    }
    g.unlock();
    helper.join();
  }
  if (interrupted) throw py::error_already_set();
  if (failure) std::rethrow_exception(failure);
}

std::mutex quillon_lock;
std::mutex tessary_lock;

// table_largest: the value that sizes the Rician bias table; negative for
// the volume's own largest value (the MEX call). A piece of a larger volume
// passes the whole volume's, so that its table, and with it every corrected
// value, is the one the whole-volume call uses.
py::object Quillon(const Volume& noisy, double sigma, double flag, bool return_first,
                   double table_largest) {
  const Shape shape = ShapeOf(noisy);
  if (!TruncatesToInt32(flag)) {
    throw py::value_error(Message("quillon:rician",
                                  "The Rician flag (input 3) must be a number within the 32-bit "
                                  "integer range; got %g.",
                                  flag));
  }
  const int rician = static_cast<int>(flag);
  const int64_t count = shape.Voxels();
  if (count > kMaxVoxels) {
    throw py::value_error(Message("quillon:size",
                                  "The volume has more than 2147483647 voxels in its first three "
                                  "dimensions; split it into smaller volumes."));
  }
  const double* in = noisy.data();
  int64_t bias_len = 0;
  if (rician > 0 && count > 0) {
    const double largest =
        table_largest >= 0.0 ? table_largest : quillon::LargestValue(in, count);
    bias_len = quillon::BiasLength(largest);
    if (bias_len < 0) {
      throw py::value_error(Message("quillon:range",
                                    "With Rician noise the largest voxel value must be at most "
                                    "134217727.5 (it is %g); scale the volume (and sigma) down.",
                                    largest));
    }
  }

  Volume out = Zeros(shape);
  Volume first;
  if (return_first) first = Zeros(shape);
  if (count > 0) {
    std::vector<double> weights(count, 0.0);
    std::vector<double> acc(count, 0.0);
    std::vector<double> forward(16), inverse(16);
    std::vector<double> bias(rician > 0 ? 8 * bias_len : 0, 0.0);

    quillon::QuillonJob job;
    job.rows = static_cast<int>(shape.rows);
    job.cols = static_cast<int>(shape.cols);
    job.slices = static_cast<int>(shape.slices);
    job.in_image = in;
    job.out_image = out.mutable_data();
    job.weights = weights.data();
    job.acc_image = acc.data();
    job.sigma = sigma;
    job.rician = rician;
    job.forward_table = forward.data();
    job.inverse_table = inverse.data();
    if (rician > 0) {
      job.bias_table = bias.data();
      job.bias_len = static_cast<int>(bias_len);
    }
    if (return_first) job.first_estimate = first.mutable_data();

    quillon::Outcome outcome = quillon::Outcome::kDone;
    RunReleased(quillon_lock, [&] { outcome = quillon::Denoise(job); });
    if (outcome == quillon::Outcome::kThreadsFailed) {
      throw std::runtime_error(Message(
          "quillon:threads", "A worker thread could not be started; the call was abandoned."));
    }
  }
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
               double flag) {
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
  if (std::isnan(sigma)) {
    throw py::value_error(Message("tessary:sigma", "Input 4 (sigma) must be a number, not NaN."));
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
  std::vector<double> mean(voxels, 0.0);
  std::vector<double> weights(voxels, 0.0);

  tessary::DenoiseRequest request;
  request.rows = static_cast<int>(shape.rows);
  request.cols = static_cast<int>(shape.cols);
  request.slices = static_cast<int>(shape.slices);
  request.in_image = noisy.data();
  request.guide_image = guide.data();
  request.out_image = out.mutable_data();
  request.mean_image = mean.data();
  request.weights = weights.data();
  request.search_radius = static_cast<int>(radius);
  request.extra_param = 1;  // carried for the MEX signature; no worker reads it
  request.sigma = sigma;
  request.rician = tessary::RicianFlag(flag);

  tessary::DenoiseStatus status = tessary::DenoiseStatus::kOk;
  RunReleased(tessary_lock, [&] { status = tessary::Denoise(request); });
  switch (status) {
    case tessary::DenoiseStatus::kOk:
      break;
    case tessary::DenoiseStatus::kThreadsFailed:
      throw std::runtime_error(Message("tessary:threads", "Threads cannot be created."));
    case tessary::DenoiseStatus::kOutOfMemory:
      PyErr_SetString(PyExc_MemoryError,
                      "tessary:memory: Not enough memory for the worker buffers.");
      throw py::error_already_set();
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The quillon and tessary cores on one 3-D column-major volume of doubles.";
  m.def("quillon", &Quillon, py::arg("noisy"), py::arg("sigma"), py::arg("flag"),
        py::arg("return_first"), py::arg("table_largest") = -1.0,
        "quillon(noisy, sigma, flag, return_first, table_largest=-1.0) -> out or (out, first)");
  m.def("tessary", &Tessary, py::arg("noisy"), py::arg("radius"), py::arg("sigma"),
        py::arg("guide"), py::arg("flag"), "tessary(noisy, radius, sigma, guide, flag) -> out");
}
