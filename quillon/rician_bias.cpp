#include "rician_bias.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "threads.h"

namespace quillon {
namespace {

// Horner's rule, highest power first.
template <int N>
double Horner(const double (&c)[N], double x) {
  double r = c[N - 1];
  for (int i = N - 2; i >= 0; --i) r = r * x + c[i];
  return r;
}

// Coefficients by ascending power.
constexpr double kSmall0[] = {1.0,       3.5156229, 3.0899424, 1.2067492,
                              0.2659732, 0.0360768, 0.0045813};
constexpr double kLarge0[] = {0.39894228,  0.01328592,  0.00225319, -0.00157565, 0.00916281,
                              -0.02057706, 0.02635537, -0.01647633, 0.00392377};
constexpr double kSmall1[] = {0.5,        0.87890594, 0.51498869, 0.15084934,
                              0.02658733, 0.00301532, 0.00032411};
constexpr double kLarge1[] = {0.39894228, -0.03988024, -0.00362018, 0.00163801, -0.01031555,
                              0.02282967, -0.02895312, 0.01787654, -0.00420059};

}  // namespace

double Bessel0(double x) {
  const double ax = std::fabs(x);
  if (ax < 3.75) {
    const double r = x / 3.75;
    return Horner(kSmall0, r * r);
  }
  return Horner(kLarge0, 3.75 / ax) * (std::exp(ax) / std::sqrt(ax));
}

double Bessel1(double x) {
  const double ax = std::fabs(x);
  double value;
  if (ax < 3.75) {
    const double r = x / 3.75;
    value = Horner(kSmall1, r * r) * ax;
  } else {
    value = (std::exp(ax) / std::sqrt(ax)) * Horner(kLarge1, 3.75 / ax);
  }
  return x < 0.0 ? -value : value;
}

namespace {

// Bessel0(x) and Bessel1(x) for x >= 0 (or not a number), sharing the terms
// the two have in common: the same operations on the same operands, so the
// same bits as the separate functions at two thirds of the cost.
inline void BesselPair(double x, double& i0, double& i1) {
  if (x < 3.75) {
    const double r = x / 3.75;
    const double r2 = r * r;
    i0 = Horner(kSmall0, r2);
    i1 = Horner(kSmall1, r2) * x;
    return;
  }
  const double y = 3.75 / x;
  const double e = std::exp(x) / std::sqrt(x);
  i0 = Horner(kLarge0, y) * e;
  i1 = e * Horner(kLarge1, y);
}

// ExpectedMagnitude with the shared Bessel terms.
//
// For a/sigma between about 37.6 and 38.6, exp(-t/2) is a subnormal double
// that keeps only a few bits, and multiplying it by pi/2 rounds it again: the
// magnitude came out up to 60% too high, so a value far below an entry took
// it (at sigma 2.55 the candidate 98.4 landed on 115.9, and flat tissue there
// dropped by up to 17) or left an entry empty. There the exponential is split
// between the two Bessel factors, exp(-t/4) * F, which stays normal. Every
// other candidate keeps the arithmetic, and the bits, it always had.
inline double Expected(double a, double s2) {
  const double t = (a * a) / s2;
  const double q = std::exp(-0.5 * t);
  const double h = 0.5 * t;
  const double x = 0.25 * t;
  double i0;
  double i1;
  BesselPair(x, i0, i1);
  const double f = h * i1 + (1.0 + h) * i0;
  if (q > 0.0 && q < std::numeric_limits<double>::min()) {
    const double g = std::exp(-x) * f;
    return std::sqrt(((1.5707963267948966 * g) * g) * s2);
  }
  const double p = (((1.5707963267948966 * q) * f) * f) * s2;
  return std::sqrt(p);
}

// The entry a candidate true value with expected magnitude e lands in: the
// integer part of e, or the candidate's own integer part when that is below
// 1 or has no 32-bit integer part. May lie outside the table.
inline int LandingOf(double e, double a) {
  if (!(e < 2147483648.0)) return static_cast<int>(a);  // also for NaN
  const int i = static_cast<int>(e);
  return i < 1 ? static_cast<int>(a) : i;
}

inline int Landing(double a, double s2) { return LandingOf(Expected(a, s2), a); }

// The Poisson mixture of central chi means, divided by sigma*sqrt(2): the
// sum over k of Pois(k; z) * G(coils+k+1/2) / G(coils+k), from k = 0 (where
// exp(-z) stays normal: z is below AsymptoticFrom) until the terms past
// the Poisson law's mode no longer count. Nothing but exp, products and
// sums, so every build gets the same bits.
double ChiMixture(double z, int coils) {
  const double n = coils;
  double ratio = 0.88622692545275801;  // G(3/2) / G(1)
  for (int k = 1; k < coils; ++k) ratio = ratio * ((k + 0.5) / k);
  double term = std::exp(-z) * ratio;
  double sum = term;
  for (double k = 0.0; k <= z || term > 1e-18 * sum; k = k + 1.0) {
    term = term * (z / (k + 1.0)) * ((n + k + 0.5) / (n + k));
    sum = sum + term;
  }
  return sum;
}

// The mean for large z = a^2/(2 sigma^2): the asymptotic series of
// 1F1(-1/2; coils; -z), in which the gamma factors cancel against the
// mean's own, leaving a * (1 + (coils - 1/2)/(2z) + ...); summed while its
// terms fall.
double ChiAsymptotic(double a, double z, int coils) {
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; k < 200; ++k) {
    const double next = term * ((k - 1.5) * (k - coils - 0.5)) / (k * z);
    if (!(std::fabs(next) < std::fabs(term)) || std::fabs(next) < 1e-18) break;
    term = next;
    sum = sum + term;
  }
  return a * sum;
}

// From this z = a^2/(2 sigma^2) on the asymptotic series is exact to the
// last bits (its terms fall at first by a factor of about coils/(2z), at
// most 1/8, and reach 1e-18 long before they turn, near k = coils + z); and
// below it exp(-z) in the mixture stays far from underflow.
double AsymptoticFrom(int coils) { return 50.0 + 4.0 * coils; }

inline double ExpectedChi(double a, double s2, int coils) {
  const double z = (a * a) / (2.0 * s2);
  if (!(z < AsymptoticFrom(coils))) return ChiAsymptotic(a, z, coils);  // also for sigma 0
  return std::sqrt(2.0 * s2) * ChiMixture(z, coils);
}

// From a quarter of (a/sigma)^2 of 710 on, exp overflows in the Bessel terms
// while exp(-t/2) underflows to 0, so the expected magnitude is 0 * inf, not
// a number, and every candidate lands on its own integer part. That quarter
// never falls as the candidates grow (each step of its computation is
// monotonic), so once a candidate is past it, all later ones are too.
inline bool PastOverflow(double a, double s2) { return 0.25 * ((a * a) / s2) >= 710.0; }

// Candidates are evaluated in blocks: the calling thread forms their values
// in order, workers find their landings, and the calling thread applies
// them in order, so the table does not depend on how the work is split.
constexpr int kBlock = 1 << 18;
// Below this many candidates to evaluate, starting threads costs more than
// it saves.
constexpr int kThreadedFrom = 1 << 15;

struct LandingRecord {
  const double* values;
  int* landings;
  int count;
  double s2;
  int coils;
};

void FindLandings(void* record) {
  const LandingRecord& r = *static_cast<const LandingRecord*>(record);
  if (r.coils == 1) {
    for (int k = 0; k < r.count; ++k) r.landings[k] = Landing(r.values[k], r.s2);
    return;
  }
  for (int k = 0; k < r.count; ++k)
    r.landings[k] = LandingOf(ExpectedChi(r.values[k], r.s2, r.coils), r.values[k]);
}

// Lands `count` candidates on up to `threads` threads. A worker that cannot
// be started leaves its share to the calling thread: the table is the same
// either way.
void FindLandingsOn(int threads, const double* values, int* landings, int count, double s2,
                    int coils) {
  if (threads <= 1 || count < kThreadedFrom) {
    LandingRecord all{values, landings, count, s2, coils};
    FindLandings(&all);
    return;
  }
  std::vector<LandingRecord> records(threads);
  for (int w = 0; w < threads; ++w) {
    const int first = static_cast<int>(static_cast<int64_t>(count) * w / threads);
    const int end = static_cast<int>(static_cast<int64_t>(count) * (w + 1) / threads);
    records[w] = {values + first, landings + first, end - first, s2, coils};
  }
  platform::WorkerGroup group(threads - 1);
  int started = 0;
  for (int w = 1; w < threads && group.Start(&FindLandings, &records[w]); ++w) ++started;
  FindLandings(&records[0]);
  for (int w = started + 1; w < threads; ++w) FindLandings(&records[w]);
  group.JoinAll();
}

}  // namespace

double ExpectedMagnitude(double a, double sigma) { return Expected(a, sigma * sigma); }

double ExpectedChiMagnitude(double a, double sigma, int coils) {
  return ExpectedChi(a, sigma * sigma, coils);
}

bool RicianBias(int bias_len, double* table, double sigma, int threads, platform::StopFlag* stop,
                int coils) {
  for (int i = 0; i < bias_len; ++i) table[i] = 0.0;
  if (bias_len <= 0) return true;
  auto stopped = [stop] { return stop != nullptr && stop->Poll(); };

  const double limit = static_cast<double>(bias_len);
  const double s2 = sigma * sigma;
  // An entry takes the first candidate that lands in it, and an entry still
  // holding 0 counts as empty. The candidates are running sums of 0.1, not
  // k/10: their last bits drift, and which entry a candidate lands in
  // depends on them. The first candidate, 0, sets nothing a later one would
  // not overwrite, so the sums start at 0.1.
  auto apply = [&](double a, int i) {
    if (i >= 0 && i < bias_len && table[i] == 0.0) table[i] = a;
  };
  // The chi mean of several coils never overflows: every candidate is
  // evaluated.
  auto past = [s2, coils](double x) { return coils == 1 && PastOverflow(x, s2); };
  double a = 0.1;
  if (a < limit && !past(a)) {
    const std::size_t block = limit * 10.0 + 1.0 < kBlock ? static_cast<std::size_t>(limit * 10.0 + 1.0) : kBlock;
    std::vector<double> values(block);
    std::vector<int> landings(block);
    bool more = true;
    while (more) {
      int count = 0;
      for (; count < static_cast<int>(block) && a < limit && !past(a); a = a + 0.1)
        values[count++] = a;
      more = count == static_cast<int>(block);
      if (stopped()) return false;
      FindLandingsOn(threads, values.data(), landings.data(), count, s2, coils);
      for (int k = 0; k < count; ++k) apply(values[k], landings[k]);
    }
  }
  for (int k = 1; a < limit; a = a + 0.1, ++k) {
    if (k % kBlock == 0 && stopped()) return false;
    apply(a, static_cast<int>(a));
  }
  return true;
}

int64_t BiasLength(double largest_value) {
  if (!(largest_value <= kLargestRicianValue)) return -1;
  return static_cast<int64_t>(std::ceil(2.0 * largest_value));
}

}  // namespace quillon
