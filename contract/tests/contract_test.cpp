// The contract on plain values: each function's rules walked in a table,
// each refusal with its identifier, kind of fault and a phrase of its text;
// what a call that keeps the rules becomes; and every identifier a table
// meets is one its signature lists (the fuzz targets take those lists).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "noise_sigma_contract.h"
#include "quillon_contract.h"
#include "rician_bias.h"
#include "rician_flag.h"
#include "tessary_contract.h"

namespace contract {
namespace {

using Kind = Argument::Kind;

// Arguments described as a front end would, with storage that outlives them.
class Values {
 public:
  Argument Array(Kind kind, std::vector<int> dims, double fill = 10.0) {
    std::size_t n = 1;
    for (int d : dims) n *= d < 0 ? 0 : static_cast<std::size_t>(d);
    dims_.push_back(std::move(dims));
    data_.emplace_back(n, fill);
    Argument a;
    a.kind = kind;
    a.ndim = static_cast<int>(dims_.back().size());
    a.dims = dims_.back().data();
    a.elements = n;
    if (kind == Kind::kDouble) a.data = data_.back().data();
    if (n == 1) a.scalar = fill;
    return a;
  }
  Argument Volume(std::vector<int> dims, double fill = 10.0) {
    return Array(Kind::kDouble, std::move(dims), fill);
  }
  Argument Scalar(double x) { return Array(Kind::kDouble, {1, 1}, x); }
  Argument Other() { return Array(Kind::kOther, {1, 1}); }
  Argument Absent() { return Argument{}; }
  // Volume v's data, to plant values in.
  double* Data(const Argument& a) { return const_cast<double*>(a.data); }

 private:
  std::deque<std::vector<int>> dims_;
  std::deque<std::vector<double>> data_;
};

struct Expected {
  const char* id;  // empty: the call keeps every rule
  Fault fault = Fault::kValue;
  const char* says = "";
};

bool Listed(const Signature& s, const std::string& id) {
  for (const char* const* w = s.whats; *w != nullptr; ++w)
    if (id == std::string(s.name) + ":" + *w) return true;
  return false;
}

void ExpectOutcome(const Signature& s, bool kept, const Refusal& r, const Expected& e,
                   const std::string& label) {
  SCOPED_TRACE(label);
  if (*e.id == '\0') {
    EXPECT_TRUE(kept) << r.id << ": " << r.message;
    EXPECT_FALSE(r.refused);
    return;
  }
  EXPECT_FALSE(kept);
  EXPECT_TRUE(r.refused);
  EXPECT_EQ(std::string(r.id), e.id);
  EXPECT_EQ(r.fault, e.fault);
  EXPECT_NE(std::string(r.message).find(e.says), std::string::npos) << r.message;
  EXPECT_TRUE(Listed(s, r.id)) << r.id;
}

// One call of a function's table: how it builds its arguments, and what
// the contract must make of them.
template <class Arguments>
struct Case {
  const char* label;
  std::function<Arguments(Values&)> args;
  Expected expected;
};

// A function's plain arguments with one change.
template <class Arguments>
struct Plain {
  std::function<Arguments(Values&)> make;
  std::function<Arguments(Values&)> With(std::function<void(Values&, Arguments&)> change) const {
    return [make = make, change](Values& v) {
      Arguments a = make(v);
      change(v, a);
      return a;
    };
  }
};

template <class Call, class Arguments, class Check>
void Walk(const Signature& s, const std::vector<Case<Arguments>>& cases, Check check) {
  for (const Case<Arguments>& c : cases) {
    Values values;
    Call call;
    Refusal refusal;
    const bool kept = check(c.args(values), call, refusal);
    ExpectOutcome(s, kept, refusal, c.expected, c.label);
  }
}

TEST(Contract, QuillonWalksEveryRule) {
  const Plain<QuillonArguments> plain{[](Values& v) {
    return QuillonArguments{v.Volume({6, 6, 6}), v.Scalar(2.0), v.Scalar(1.0)};
  }};
  auto with = [&plain](auto change) { return plain.With(change); };
  const std::vector<Case<QuillonArguments>> cases = {
      {"plain", plain.make, {""}},
      {"other volume", with([](Values& v, auto& a) { a.noisy = v.Other(); }),
       {"quillon:volume", Fault::kKind, "real, full double array"}},
      {"single volume", with([](Values& v, auto& a) { a.noisy = v.Array(Kind::kNumeric, {6, 6, 6}); }),
       {"quillon:volume", Fault::kKind}},
      {"dimension past 32 bits", with([](Values& v, auto& a) { a.noisy = v.Volume({6, -1, 6}); }),
       {"quillon:size", Fault::kValue, "A dimension of input 1 exceeds 2147483647"}},
      {"too many voxels", with([](Values& v, auto& a) { a.noisy = v.Volume({2000, 2000, 1000, 0}); }),
       {"quillon:size", Fault::kValue, "denoisers.chunked"}},
      {"sigma of another kind", with([](Values& v, auto& a) { a.sigma = v.Other(); }),
       {"quillon:sigma", Fault::kKind, "one value per volume (1)"}},
      {"logical sigma vector", with([](Values& v, auto& a) { a.sigma = v.Array(Kind::kNumeric, {1, 2}); }),
       {"quillon:sigma", Fault::kKind}},
      {"two sigmas, one volume", with([](Values& v, auto& a) { a.sigma = v.Volume({1, 2}, 1.0); }),
       {"quillon:sigma", Fault::kValue}},
      {"flag of another kind", with([](Values& v, auto& a) { a.rician = v.Other(); }),
       {"quillon:rician", Fault::kKind, "(input 3) must be a real numeric scalar"}},
      {"flag left out", with([](Values& v, auto& a) { a.rician = v.Absent(); }),
       {"quillon:rician", Fault::kKind}},
      {"flag past 32 bits", with([](Values& v, auto& a) { a.rician = v.Scalar(3e9); }),
       {"quillon:rician", Fault::kValue, "got 3e+09"}},
      {"NaN flag", with([](Values& v, auto& a) { a.rician = v.Scalar(NAN); }),
       {"quillon:rician", Fault::kValue}},
      {"NaN sigma", with([](Values& v, auto& a) { a.sigma = v.Scalar(NAN); }),
       {"quillon:sigma", Fault::kValue, "got nan."}},
      {"negative sigma", with([](Values& v, auto& a) { a.sigma = v.Scalar(-0.5); }),
       {"quillon:sigma", Fault::kValue, "at least 0"}},
      {"infinite sigma of volume 2",
       with([](Values& v, auto& a) {
         a.noisy = v.Volume({6, 6, 6, 2});
         a.sigma = v.Volume({1, 2}, INFINITY);
         v.Data(a.sigma)[0] = 1.0;
       }),
       {"quillon:sigma", Fault::kValue, "got inf for volume 2."}},
      {"three rows", with([](Values& v, auto& a) { a.noisy = v.Volume({3, 6, 6}); }),
       {"quillon:size", Fault::kValue, "3x6x6: it has 3 rows"}},
      {"a matrix", with([](Values& v, auto& a) { a.noisy = v.Volume({6, 6}); }),
       {"quillon:size", Fault::kValue, "it has 1 slice,"}},
      {"too bright for a table", with([](Values& v, auto& a) { v.Data(a.noisy)[100] = 4194304.5; }),
       {"quillon:range", Fault::kValue, "value must be at most 4194304 (it is 4.1943e+06)"}},
      {"too bright a volume 2",
       with([](Values& v, auto& a) {
         a.noisy = v.Volume({6, 6, 6, 2});
         v.Data(a.noisy)[300] = 5e6;
       }),
       {"quillon:range", Fault::kValue, "value of volume 2 must"}},
      {"too bright without Rician noise",
       with([](Values& v, auto& a) {
         v.Data(a.noisy)[100] = 5e6;
         a.rician = v.Scalar(-1.0);
       }),
       {""}},
      {"empty, its sides unread", with([](Values& v, auto& a) { a.noisy = v.Volume({0, 2, 2}); }), {""}},
      {"coils of another kind", with([](Values& v, auto& a) { a.coils = v.Volume({1, 2}); }),
       {"quillon:coils", Fault::kKind, "(input 4) must be a real numeric scalar"}},
      {"coils not whole", with([](Values& v, auto& a) { a.coils = v.Scalar(1.5); }),
       {"quillon:coils", Fault::kValue, "from 1 to 64; got 1.5."}},
      {"no coil", with([](Values& v, auto& a) { a.coils = v.Scalar(0); }), {"quillon:coils", Fault::kValue}},
      {"65 coils", with([](Values& v, auto& a) { a.coils = v.Scalar(65); }), {"quillon:coils", Fault::kValue}},
      {"coils without Rician noise",
       with([](Values& v, auto& a) {
         a.coils = v.Scalar(2);
         a.rician = v.Scalar(0);
       }),
       {"quillon:coils", Fault::kValue, "needs the Rician flag"}},
      {"64 coils", with([](Values& v, auto& a) { a.coils = v.Scalar(64); }), {""}},
  };
  Walk<QuillonCall>(kQuillon, cases, CheckQuillon);

  // A call that keeps the rules: its flag truncated, the table of its
  // brightest volume, or of the value a chunk's caller gives instead.
  Values v;
  QuillonArguments a{v.Volume({6, 6, 6, 3}, 100.0), v.Volume({1, 3}, 2.0), v.Scalar(2.9)};
  v.Data(a.noisy)[250] = 900.0;
  QuillonCall call;
  Refusal refusal;
  ASSERT_TRUE(CheckQuillon(a, call, refusal));
  EXPECT_EQ(call.rician, 2);
  EXPECT_EQ(call.series.volumes, 3u);
  EXPECT_EQ(call.series.voxels, 216u);
  EXPECT_EQ(call.bias_table_doubles, quillon::BiasLength(900.0));
  EXPECT_EQ(call.coils, 1);  // left out
  const double given[3] = {50.0, 3000.0, -1.0};
  a.table_largest = given;
  ASSERT_TRUE(CheckQuillon(a, call = QuillonCall{}, refusal));
  EXPECT_EQ(call.bias_table_doubles, quillon::BiasLength(3000.0));
}

TEST(Contract, QuillonGivenATableBufferBuildsItOncePerSigmaWithTheSameBits) {
  // Volumes 0, 1 and 3 share sigma and table size, volume 2 does not: the
  // buffer, stale at first, then claimed ready for the first volume, gives
  // the bits of each volume's own table.
  Values v;
  const double sigmas[4] = {4.0, 4.0, 5.0, 4.0};
  QuillonArguments a{v.Volume({8, 8, 8, 4}), v.Volume({1, 4}), v.Scalar(1.0)};
  std::copy_n(sigmas, 4, v.Data(a.sigma));
  double* noisy = v.Data(a.noisy);
  for (int i = 0; i < 2048; ++i) noisy[i] = i % 512 == 9 ? 100.0 : 40.0 + 30.0 * std::sin(0.7 * i);
  QuillonCall call;
  Refusal refusal;
  ASSERT_TRUE(CheckQuillon(a, call, refusal));
  std::vector<double> own(2048), given(2048), table(call.bias_table_doubles, 1e9);
  ASSERT_TRUE(RunQuillon(call, quillon::Request{}, own.data(), nullptr, refusal));
  quillon::Request base;
  base.bias_table = table.data();
  base.bias_table_size = call.bias_table_doubles;
  for (bool ready : {false, true}) {
    base.bias_table_ready = ready;  // true: the last run left volume 3's table, volume 0's too
    ASSERT_TRUE(RunQuillon(call, base, given.data(), nullptr, refusal));
    EXPECT_EQ(own, given) << ready;
  }
}

TEST(Contract, TessaryWalksEveryRule) {
  const Plain<TessaryArguments> plain{[](Values& v) {
    return TessaryArguments{v.Volume({4, 3, 2}), v.Scalar(2.9),        v.Scalar(7.0),
                            v.Scalar(9.0),       v.Volume({4, 3, 2}), v.Scalar(256.0)};
  }};
  auto with = [&plain](auto change) { return plain.With(change); };
  const std::vector<Case<TessaryArguments>> cases = {
      {"plain", plain.make, {""}},
      {"other volume", with([](Values& v, auto& a) { a.noisy = v.Other(); }),
       {"tessary:volume", Fault::kKind, "(a matrix is one slice)"}},
      {"too many voxels", with([](Values& v, auto& a) { a.noisy = v.Volume({2048, 1024, 1024, 0}); }),
       {"tessary:size", Fault::kValue, "denoisers.chunked"}},
      {"radius of another kind", with([](Values& v, auto& a) { a.radius = v.Other(); }),
       {"tessary:scalar", Fault::kKind, "Input 2 (search radius) must be a real numeric scalar."}},
      {"radius vector", with([](Values& v, auto& a) { a.radius = v.Volume({1, 2}); }),
       {"tessary:scalar", Fault::kKind}},
      {"huge radius", with([](Values& v, auto& a) { a.radius = v.Scalar(3e9); }),
       {"tessary:range", Fault::kValue, "Input 2 (search radius) must truncate"}},
      {"NaN radius", with([](Values& v, auto& a) { a.radius = v.Scalar(NAN); }),
       {"tessary:range", Fault::kValue}},
      {"huge extra", with([](Values& v, auto& a) { a.extra = v.Scalar(-2147483649.0); }),
       {"tessary:range", Fault::kValue, "Input 3 (extra parameter)"}},
      {"sigma of another kind", with([](Values& v, auto& a) { a.sigma = v.Other(); }),
       {"tessary:scalar", Fault::kKind, "Input 4 (sigma)"}},
      {"two sigmas, one volume", with([](Values& v, auto& a) { a.sigma = v.Volume({1, 2}); }),
       {"tessary:scalar", Fault::kValue, "one value per volume (1)"}},
      {"NaN sigma", with([](Values& v, auto& a) { a.sigma = v.Scalar(NAN); }),
       {"tessary:sigma", Fault::kValue, "got nan."}},
      {"infinite sigma of volume 1",
       with([](Values& v, auto& a) {
         a.noisy = v.Volume({4, 3, 2, 2});
         a.guide = v.Volume({4, 3, 2, 2});
         a.sigma = v.Volume({1, 2}, -INFINITY);
       }),
       {"tessary:sigma", Fault::kValue, "got -inf for volume 1."}},
      {"negative sigma", with([](Values& v, auto& a) { a.sigma = v.Scalar(-4.0); }), {""}},
      {"guide of another kind", with([](Values& v, auto& a) { a.guide = v.Array(Kind::kNumeric, {4, 3, 2}); }),
       {"tessary:guide", Fault::kKind, "Input 5 (the guide)"}},
      {"flag of another kind", with([](Values& v, auto& a) { a.rician = v.Other(); }),
       {"tessary:scalar", Fault::kKind, "Input 6 (Rician flag)"}},
      {"huge flag", with([](Values& v, auto& a) { a.rician = v.Scalar(2147483648.0); }),
       {"tessary:range", Fault::kValue, "Input 6"}},
      {"guide of one volume for two",
       with([](Values& v, auto& a) { a.noisy = v.Volume({4, 3, 2, 2}); }),
       {"tessary:guideSize", Fault::kValue, "4x3x2x2, got 4x3x2."}},
      {"guide of one slice", with([](Values& v, auto& a) { a.guide = v.Volume({4, 3}); }),
       {"tessary:guideSize", Fault::kValue}},
      {"coils of another kind", with([](Values& v, auto& a) { a.coils = v.Other(); }),
       {"tessary:coils", Fault::kKind, "(input 7)"}},
      {"coils past 64", with([](Values& v, auto& a) { a.coils = v.Scalar(70); }),
       {"tessary:coils", Fault::kValue}},
      {"coils with a flag narrowed to Gaussian noise",
       with([](Values& v, auto& a) { a.coils = v.Scalar(8); }),
       {"tessary:coils", Fault::kValue, "needs the Rician flag"}},
      {"eight coils",
       with([](Values& v, auto& a) {
         a.coils = v.Scalar(8);
         a.rician = v.Scalar(1);
       }),
       {""}},
  };
  Walk<TessaryCall>(kTessary, cases, CheckTessary);
  Values v;
  TessaryCall call;
  Refusal refusal;
  ASSERT_TRUE(CheckTessary(plain.make(v), call, refusal));
  EXPECT_EQ(call.search_radius, 2);  // truncated
  EXPECT_EQ(call.rician, RicianFlag(256.0));
  EXPECT_EQ(call.sigma[0], 9.0);
}

TEST(Contract, NoiseSigmaWalksEveryRule) {
  const std::vector<Case<NoiseSigmaArguments>> cases = {
      {"plain", [](Values& v) { return NoiseSigmaArguments{v.Volume({16, 16, 16}), v.Scalar(1)}; }, {""}},
      {"other volume", [](Values& v) { return NoiseSigmaArguments{v.Other(), v.Scalar(1)}; },
       {"noise_sigma:volume", Fault::kKind, "of three dimensions"}},
      {"a matrix", [](Values& v) { return NoiseSigmaArguments{v.Volume({16, 16}), v.Scalar(1)}; },
       {"noise_sigma:volume", Fault::kValue}},
      {"flag vector", [](Values& v) { return NoiseSigmaArguments{v.Volume({16, 16, 16}), v.Volume({1, 2})}; },
       {"noise_sigma:rician", Fault::kKind, "(input 2)"}},
      {"NaN flag", [](Values& v) { return NoiseSigmaArguments{v.Volume({16, 16, 16}), v.Scalar(NAN)}; },
       {"noise_sigma:rician", Fault::kValue}},
      {"too many voxels",
       [](Values& v) { return NoiseSigmaArguments{v.Volume({2000, 2000, 1000, 0}), v.Scalar(1)}; },
       {"noise_sigma:size", Fault::kValue, "split the array"}},
      {"a dimension past 32 bits",
       [](Values& v) { return NoiseSigmaArguments{v.Volume({16, 16, 16, -1}), v.Scalar(1)}; },
       {"noise_sigma:size", Fault::kValue}},
      {"7x7x1 blocks", [](Values& v) { return NoiseSigmaArguments{v.Volume({14, 14, 3}), v.Scalar(1)}; },
       {"noise_sigma:small", Fault::kValue, "A 14x14x3 volume has fewer than 64 whole blocks"}},
      {"no volumes, any size", [](Values& v) { return NoiseSigmaArguments{v.Volume({2, 2, 2, 0}), v.Scalar(1)}; },
       {""}},
      {"pooled small volumes",
       [](Values& v) { return NoiseSigmaArguments{v.Volume({14, 14, 3, 4}), v.Scalar(1), true}; },
       {""}},
  };
  Walk<NoiseSigmaCall>(kNoiseSigma, cases, CheckNoiseSigma);
  // A flag that truncates to a positive integer declares Rician noise.
  for (const auto& [flag, model] : {std::pair{1.9, noise_sigma::NoiseModel::kRician},
                                    std::pair{0.9, noise_sigma::NoiseModel::kGaussian},
                                    std::pair{-1.0, noise_sigma::NoiseModel::kGaussian}}) {
    Values v;
    NoiseSigmaCall call;
    Refusal refusal;
    ASSERT_TRUE(CheckNoiseSigma({v.Volume({16, 16, 16, 1, 3}), v.Scalar(flag)}, call, refusal));
    EXPECT_EQ(call.model, model) << flag;
    EXPECT_EQ(call.volumes, 3);
    EXPECT_EQ(call.voxels, 4096);
  }
}

// What only the work finds: volumes without 64 usable blocks, named alike
// by the plain estimate and the one with diagnostics, and a pooled series
// that holds too little data even taken together.
TEST(Contract, NoiseSigmaRefusesTooLittleData) {
  Values v;
  Argument series = v.Volume({16, 16, 16, 2}, NAN);
  for (int k = 0; k < 4096; ++k) v.Data(series)[k] = 10.0 + k % 7;  // volume 1 is usable
  NoiseSigmaCall call;
  Refusal checked;
  ASSERT_TRUE(CheckNoiseSigma({series, v.Scalar(1)}, call, checked));
  double sigmas[2], info[2 * kNoiseSigmaInfoRows];
  Refusal plain, with_info;
  EXPECT_FALSE(RunNoiseSigma(call, {}, sigmas, plain));
  EXPECT_FALSE(RunNoiseSigmaInfo(call, {}, sigmas, info, with_info));
  for (const Refusal* r : {&plain, &with_info}) {
    EXPECT_EQ(std::string(r->id), "noise_sigma:small");
    EXPECT_NE(std::string(r->message).find("Volume 2 has fewer than 64"), std::string::npos);
  }
  const Argument empty = v.Volume({16, 16, 16, 3}, NAN), one = v.Volume({16, 16, 16}, NAN);
  for (const auto& [volume, says] : {std::pair{empty, "none of the 3 volumes, nor all of them"},
                                     std::pair{one, "Volume 1 has fewer than 64"}}) {
    NoiseSigmaArguments arguments{volume, v.Scalar(1), true};
    Refusal r;
    ASSERT_TRUE(CheckNoiseSigma(arguments, call, r));
    std::vector<noise_sigma::Result> each(static_cast<std::size_t>(call.volumes));
    noise_sigma::SeriesResult pooled;
    EXPECT_FALSE(RunNoiseSigmaSeries(call, {}, each.data(), &pooled, r));
    EXPECT_EQ(std::string(r.id), "noise_sigma:small");
    EXPECT_NE(std::string(r.message).find(says), std::string::npos) << r.message;
  }
}

// The arity rule, the first refusal standing, and the report of every
// status a core returns.
TEST(Contract, ArityAndStatusReports) {
  for (const Signature* s : {&kQuillon, &kTessary, &kNoiseSigma}) {
    Refusal r;
    EXPECT_TRUE(CheckArity(*s, s->inputs + s->optional_inputs, s->max_outputs, r));
    EXPECT_FALSE(CheckArity(*s, s->inputs + s->optional_inputs + 1, 1, r));
    EXPECT_EQ(std::string(r.id), std::string(s->name) + ":nargin");
    r = Refusal{};
    EXPECT_FALSE(CheckArity(*s, s->inputs - 1, 1, r));
    EXPECT_EQ(std::string(r.id), std::string(s->name) + ":nargin");
    EXPECT_NE(std::string(r.message).find(s->usage), std::string::npos) << r.message;
    Refusal many;
    EXPECT_FALSE(CheckArity(*s, s->inputs, s->max_outputs + 1, many));
    EXPECT_EQ(std::string(many.id), std::string(s->name) + ":nargout");
    EXPECT_FALSE(Refuse(many, s->name, "later", Fault::kOther, "a second fault"));
    EXPECT_EQ(std::string(many.id), std::string(s->name) + ":nargout");  // the first one stands
  }
  using platform::Status;
  const std::string isa_reason = platform::IsaRefusal(platform::Isa::kAvx512);
  const struct {
    Status status;
    const char* what;
    Fault fault;
    std::string says;
  } reports[] = {{Status::kThreadsFailed, "threads", Fault::kThreads, "worker thread"},
                 {Status::kOutOfMemory, "memory", Fault::kMemory, "Not enough memory"},
                 {Status::kIsaUnavailable, "isa", Fault::kOther, isa_reason},
                 {Status::kInterrupted, "interrupted", Fault::kInterrupted, "(Ctrl-C)"},
                 {Status::kInvalidRequest, "internal", Fault::kOther, "(invalid request)"},
                 {Status::kValueRange, "internal", Fault::kOther, "(value out of range)"},
                 {Status::kTooLittleData, "internal", Fault::kOther, "(too little data)"}};
  for (const auto& report : reports) {
    Refusal r;
    EXPECT_TRUE(ReportStatus(kTessary, report.status, platform::Isa::kAvx512, r));
    EXPECT_EQ(std::string(r.id), std::string("tessary:") + report.what);
    EXPECT_EQ(r.fault, report.fault);
    EXPECT_NE(std::string(r.message).find(report.says), std::string::npos) << r.message;
  }
  Refusal none;
  EXPECT_FALSE(ReportStatus(kQuillon, Status::kOk, platform::Isa::kAuto, none));
  EXPECT_FALSE(none.refused);
}

TEST(Contract, TessaryFlagNarrowings) {
  struct Case {
    double input;
    int linux_flag, windows_flag, mac_flag;
  };
  const Case cases[] = {
      {0.5, 0, 0, 0},     {-0.5, 0, 0, 0},    {1.0, 1, 1, 1},       {-1.0, 255, 255, 1},
      {2.9, 2, 2, 1},     {255.0, 255, 255, 1}, {256.0, 0, 0, 1},   {257.0, 1, 1, 1},
      {512.0, 0, 0, 1},   {-256.0, 0, 0, 1},  {-255.0, 1, 1, 1},
      // beyond 32 bits only the 64-bit truncation keeps the low byte
      {4294967297.0, 0, 1, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RicianFlagLinux(c.input), c.linux_flag) << c.input;
    EXPECT_EQ(RicianFlagWindows(c.input), c.windows_flag) << c.input;
    EXPECT_EQ(RicianFlagMac(c.input), c.mac_flag) << c.input;
    // The build's own narrowing is its platform's.
#if defined(_WIN32)
    EXPECT_EQ(RicianFlag(c.input), RicianFlagWindows(c.input)) << c.input;
#elif defined(__APPLE__)
    EXPECT_EQ(RicianFlag(c.input), RicianFlagMac(c.input)) << c.input;
#else
    EXPECT_EQ(RicianFlag(c.input), RicianFlagLinux(c.input)) << c.input;
#endif
  }
}

}  // namespace
}  // namespace contract
