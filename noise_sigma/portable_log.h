// The natural logarithm with the same bits on every platform: C libraries
// differ in the last bit of log, and the estimate must not (a Windows build
// gives the Linux build's sigma, bit for bit).
#pragma once

namespace noise_sigma {

// ln(x) for a finite x > 0, within an ulp or two: Halley's iteration on the
// platform's exp (platform/exp.h, the same bits everywhere) from a series
// start, with nothing but exact scalings, products and sums besides.
double PortableLog(double x);

}  // namespace noise_sigma
