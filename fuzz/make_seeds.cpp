// Writes the seed corpus: fuzz/corpus/quillon, fuzz/corpus/tessary and
// fuzz/corpus/noise_sigma.
// Usage: fuzz_make_seeds DIR. The seeds are valid calls of several shapes
// and one call per identified error, so the fuzzer starts from inputs that
// reach every check and the workers.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "arg_decoder.h"

namespace {

using fuzzargs::Encoder;
using fuzzargs::Fill;
using fuzzargs::Kind;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A phantom fill at `level`.
std::vector<std::uint8_t> Phantom(std::uint8_t seed, double level) {
  return {seed, fuzzargs::ValueByte(level)};
}

void Write(const std::filesystem::path& dir, const std::string& name, const Encoder& e) {
  std::filesystem::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(e.bytes().data()), static_cast<std::streamsize>(e.bytes().size()));
}

// quillon(noisy, sigma, rician)
Encoder Quillon(int nlhs, const std::vector<int>& dims, double level, double sigma, double rician,
                int fault = fuzzargs::kNoFault, Kind kind = Kind::kDouble) {
  Encoder e(nlhs, 3, fault);
  e.Explicit(kind, dims, Fill::kPhantom, Phantom(3, level)).Scalar(Kind::kDouble, sigma).Scalar(Kind::kDouble, rician);
  return e;
}

// tessary(noisy, radius, extra, sigma, guide, rician), the guide of the noisy volume's shape.
Encoder Tessary(int nlhs, const std::vector<int>& dims, double radius, double sigma, double flag,
                int fault = fuzzargs::kNoFault) {
  Encoder e(nlhs, 6, fault);
  e.Explicit(Kind::kDouble, dims, Fill::kPhantom, Phantom(5, 100.0))
      .Scalar(Kind::kDouble, radius)
      .Scalar(Kind::kDouble, 1.0)
      .Scalar(Kind::kDouble, sigma)
      .LikeFirst(Kind::kDouble, Fill::kPhantom, Phantom(6, 100.0))
      .Scalar(Kind::kDouble, flag);
  return e;
}

// noise_sigma(volume, rician)
Encoder NoiseSigma(int nlhs, const std::vector<int>& dims, double level, double rician,
                   int fault = fuzzargs::kNoFault) {
  Encoder e(nlhs, 2, fault);
  e.Explicit(Kind::kDouble, dims, Fill::kPhantom, Phantom(7, level)).Scalar(Kind::kDouble, rician);
  return e;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path q = std::filesystem::path(argv[1]) / "quillon";
  Write(q, "valid_rician", Quillon(1, {8, 8, 8}, 100.0, 10.0, 1.0));
  Write(q, "valid_two_outputs", Quillon(2, {9, 7, 12}, 200.0, 10.0, 0.0));
  Write(q, "valid_four_dims", Quillon(1, {6, 6, 6, 2}, 100.0, 3.0, 1.0));
  Write(q, "valid_no_output", Quillon(0, {5, 4, 6}, 100.0, 10.0, -1.0));
  Write(q, "empty_volume", Quillon(1, {0, 5, 5}, 100.0, 10.0, 1.0));
  Write(q, "thin_volume", Quillon(1, {9, 9, 3}, 100.0, 10.0, 1.0));
  Write(q, "range", Quillon(1, {4, 4, 4}, 1e300, 10.0, 1.0));
  Write(q, "nan_volume", Quillon(1, {4, 4, 4}, kNaN, 10.0, 1.0));
  Write(q, "inf_sigma", Quillon(1, {6, 5, 4}, 100.0, kInf, 1.0));
  Write(q, "nan_sigma", Quillon(1, {6, 5, 4}, 100.0, kNaN, 0.0));
  Write(q, "huge_flag", Quillon(1, {6, 5, 4}, 100.0, 10.0, 2147483648.0));
  Write(q, "size", Quillon(1, {2048, 1024, 1024, 0}, 1.0, 10.0, 1.0));
  Write(q, "single_volume", Quillon(1, {6, 6, 6}, 100.0, 10.0, 1.0, fuzzargs::kNoFault, Kind::kSingle));
  Write(q, "matrix", Quillon(1, {6, 6}, 100.0, 10.0, 1.0));
  Write(q, "fault_pass1", Quillon(2, {8, 8, 12}, 100.0, 10.0, 1.0, 3));
  Write(q, "fault_pass2", Quillon(1, {8, 8, 12}, 100.0, 10.0, 0.0, 12));
  {
    Encoder e(1, 2);
    e.Explicit(Kind::kDouble, {6, 6, 6}, Fill::kConstant, {fuzzargs::ValueByte(1.0)}).Scalar(Kind::kDouble, 1.0);
    Write(q, "nargin", e);
  }
  {
    Encoder e(3, 3);
    e.Explicit(Kind::kDouble, {6, 6, 6}, Fill::kEach, {}).Scalar(Kind::kDouble, 1.0).Scalar(Kind::kDouble, 1.0);
    Write(q, "nargout", e);
  }
  {
    Encoder e(1, 3);
    e.Explicit(Kind::kDouble, {6, 6, 6}, Fill::kRamp, {fuzzargs::ValueByte(-100.0), 20}, true)
        .Scalar(Kind::kInt16, 2.0)
        .Scalar(Kind::kLogical, 1.0);
    Write(q, "complex_volume", e);
  }
  {
    Encoder e(1, 3);
    e.Explicit(Kind::kSparse, {6, 6}, Fill::kConstant, {0}).Scalar(Kind::kDouble, 1.0).Scalar(Kind::kChar, 1.0);
    Write(q, "sparse_volume", e);
  }

  const std::filesystem::path t = std::filesystem::path(argv[1]) / "tessary";
  Write(t, "valid_rician", Tessary(1, {8, 8, 8}, 2.0, 10.0, 1.0));
  Write(t, "valid_gaussian", Tessary(1, {10, 9, 6}, 1.0, 10.0, 0.0));
  Write(t, "one_slice", Tessary(0, {9, 8}, 3.0, 10.0, 1.0));
  Write(t, "whole_volume_radius", Tessary(1, {5, 4, 3}, 2147483647.0, 10.0, 1.0));
  Write(t, "negative_radius", Tessary(1, {5, 4, 3}, -1.0, 10.0, 1.0));
  Write(t, "sigma_zero", Tessary(1, {5, 4, 3}, 2.0, 0.0, 1.0));
  Write(t, "nan_sigma", Tessary(1, {5, 4, 3}, 2.0, kNaN, 1.0));
  Write(t, "huge_radius", Tessary(1, {5, 4, 3}, 2147483648.0, 10.0, 1.0));
  Write(t, "flag_wraps", Tessary(1, {5, 4, 3}, 1.0, 10.0, 1000.0));
  Write(t, "empty_volume", Tessary(1, {0, 4, 3}, 2.0, 10.0, 1.0));
  Write(t, "nargout", Tessary(2, {5, 4, 3}, 2.0, 10.0, 1.0));
  Write(t, "fault", Tessary(1, {6, 6, 10}, 2.0, 10.0, 1.0, 4));
  {
    Encoder e(1, 6);
    e.Explicit(Kind::kDouble, {7, 6, 5}, Fill::kPhantom, Phantom(9, 100.0))
        .Scalar(Kind::kInt8, 2.0)
        .Scalar(Kind::kUint64, 3.0)
        .Scalar(Kind::kSingle, 10.0)
        .LikeFirstChanged(Kind::kDouble, 2, 4, Fill::kConstant, {fuzzargs::ValueByte(1.0)})
        .Scalar(Kind::kDouble, 1.0);
    Write(t, "guide_size", e);
  }
  {
    Encoder e(1, 6);
    e.Explicit(Kind::kDouble, {7, 6, 5}, Fill::kPhantom, Phantom(9, 100.0))
        .Scalar(Kind::kDouble, 2.0)
        .Scalar(Kind::kDouble, 1.0)
        .Scalar(Kind::kDouble, 10.0)
        .LikeFirst(Kind::kInt32, Fill::kConstant, {fuzzargs::ValueByte(1.0)})
        .Scalar(Kind::kDouble, 1.0);
    Write(t, "int32_guide", e);
  }
  {
    Encoder e(1, 8);
    e.Explicit(Kind::kDouble, {6, 5, 4}, Fill::kEach, {})
        .Scalar(Kind::kDouble, 1.0)
        .Scalar(Kind::kDouble, 1.0)
        .Scalar(Kind::kDouble, 10.0)
        .LikeFirst(Kind::kDouble, Fill::kRamp, {fuzzargs::ValueByte(0.0), 30})
        .Scalar(Kind::kDouble, 0.0)
        .Explicit(Kind::kCell, {2, 2}, Fill::kConstant, {0})
        .Explicit(Kind::kStruct, {1, 1}, Fill::kConstant, {0});
    Write(t, "extra_inputs", e);
  }
  {
    Encoder e(1, 5);
    e.Explicit(Kind::kDouble, {4, 4, 4}, Fill::kConstant, {fuzzargs::ValueByte(1.0)});
    Write(t, "nargin", e);
  }

  const std::filesystem::path n = std::filesystem::path(argv[1]) / "noise_sigma";
  Write(n, "valid_rician", NoiseSigma(1, {8, 8, 8}, 100.0, 1.0));
  Write(n, "valid_gaussian", NoiseSigma(1, {10, 12, 9}, 100.0, 0.0));
  Write(n, "series", NoiseSigma(1, {8, 8, 8, 3}, 100.0, 1.0));
  Write(n, "empty_series", NoiseSigma(1, {8, 8, 8, 0}, 100.0, 1.0));
  Write(n, "no_output", NoiseSigma(0, {8, 8, 9}, 200.0, 1.0));
  Write(n, "small", NoiseSigma(1, {6, 8, 8}, 100.0, 1.0));
  Write(n, "nan_volume", NoiseSigma(1, {8, 8, 8}, kNaN, 1.0));
  // No usable block, which only the workers find: a worker that cannot
  // start makes it a "threads" error instead.
  Write(n, "nan_volume_fault", NoiseSigma(1, {16, 16, 16}, kNaN, 1.0, 0));
  Write(n, "zero_volume", NoiseSigma(1, {8, 8, 8}, 0.0, 0.0));
  Write(n, "nan_flag", NoiseSigma(1, {8, 8, 8}, 100.0, kNaN));
  Write(n, "huge_flag", NoiseSigma(1, {8, 8, 8}, 100.0, 2147483648.0));
  Write(n, "matrix", NoiseSigma(1, {16, 16}, 100.0, 1.0));
  Write(n, "size", NoiseSigma(1, {2048, 1024, 1024, 0}, 1.0, 1.0));
  Write(n, "fault", NoiseSigma(1, {16, 16, 16}, 100.0, 1.0, 0));
  {
    Encoder e(1, 2);
    e.Explicit(Kind::kSingle, {8, 8, 8}, Fill::kPhantom, Phantom(7, 100.0)).Scalar(Kind::kInt8, 1.0);
    Write(n, "single_volume", e);
  }
  {
    Encoder e(2, 2);
    e.Explicit(Kind::kDouble, {8, 8, 8}, Fill::kEach, {}).Scalar(Kind::kDouble, 1.0);
    Write(n, "nargout", e);
  }
  {
    Encoder e(1, 1);
    e.Explicit(Kind::kDouble, {8, 8, 8}, Fill::kEach, {});
    Write(n, "nargin", e);
  }
  std::printf("seeds written to %s\n", argv[1]);
  return 0;
}
