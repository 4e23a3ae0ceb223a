// Gateway calls through the stand-in host for the tests: inputs owned by
// the test, outputs copied out before they are freed.
#pragma once

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "standin_host.h"

namespace gatewaytest {

using testbits::SameBits;

// Inputs of one call, destroyed with the object.
struct Args {
  std::vector<mxArray*> in;
  Args() = default;
  Args(Args&& o) noexcept : in(std::move(o.in)) { o.in.clear(); }
  Args(const Args&) = delete;
  ~Args() {
    for (mxArray* a : in) standin::Destroy(a);
  }
  Args& Add(mxArray* a) {
    in.push_back(a);
    return *this;
  }
  Args& Volume(const std::vector<int>& dims, const std::vector<double>& v) {
    return Add(standin::CreateDouble(dims, v.data()));
  }
  Args& Scalar(double x) { return Add(standin::CreateScalar(x)); }
  // Input k becomes `a`; the old one is destroyed.
  void Replace(std::size_t k, mxArray* a) {
    standin::Destroy(in[k]);
    in[k] = a;
  }
};

struct Result {
  standin::CallResult call;
  std::vector<std::vector<double>> out;  // one per output slot the call filled
  std::vector<std::vector<int>> dims;
  bool all_outputs_null = true;
};

// nrhs < 0: every input of args.
inline Result CallGateway(standin::MexFunction fn, int nlhs, const Args& args, int nrhs = -1) {
  std::vector<mxArray*> plhs(nlhs > 0 ? nlhs : 1, nullptr);
  std::vector<const mxArray*> prhs(args.in.begin(), args.in.end());
  if (nrhs >= 0) prhs.resize(static_cast<std::size_t>(nrhs));
  Result r;
  r.call = standin::Call(fn, nlhs, plhs.data(), static_cast<int>(prhs.size()),
                         prhs.empty() ? nullptr : prhs.data());
  for (mxArray* a : plhs) {
    if (a == nullptr) continue;
    r.all_outputs_null = false;
    const double* p = mxGetPr(a);
    r.out.emplace_back(p, p + mxGetNumberOfElements(a));
    r.dims.push_back(standin::Dimensions(a));
    standin::Destroy(a);
  }
  return r;
}

// A smooth volume with deterministic noise, column-major.
inline std::vector<double> Phantom(int rows, int cols, int slices, double level, unsigned seed) {
  std::vector<double> v(static_cast<std::size_t>(rows) * cols * slices);
  unsigned state = 2463534242u ^ seed;
  for (int s = 0; s < slices; ++s)
    for (int c = 0; c < cols; ++c)
      for (int r = 0; r < rows; ++r) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const double noise = static_cast<double>(state % 2001) / 100.0 - 10.0;
        v[r + static_cast<std::size_t>(c) * rows + static_cast<std::size_t>(s) * rows * cols] =
            level * (0.7 + 0.3 * std::sin(r * 0.4) * std::cos(c * 0.3)) + s + noise;
      }
  return v;
}

}  // namespace gatewaytest
