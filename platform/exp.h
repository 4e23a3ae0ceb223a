// exp(x) with the bits of the Linux build's C library on every platform.
#pragma once

namespace platform {

// The Linux library's exp, bit for bit, including its choice between the
// fused and the unfused build by the processor it runs on.
double Exp(double x);

// The two builds, for tests: products rounded before each sum, and fused.
double ExpUnfused(double x);
double ExpFused(double x);  // needs a processor with FMA
bool ExpUsesFused();        // what Exp picks on this processor
bool HasFusedMulAdd();      // the processor has FMA (three operands)

}  // namespace platform
