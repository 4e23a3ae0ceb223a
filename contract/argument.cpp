#include "argument.h"

#include <cmath>

#include "rician_bias.h"

namespace contract {

bool ReadRicianFlag(const char* name, int input, const Argument& a, double& flag,
                    Refusal& refusal) {
  if (!a.IsRealScalar()) {
    return Refuse(refusal, name, "rician", Fault::kKind,
                  "The Rician flag (input %d) must be a real numeric scalar: 1 for Rician "
                  "noise, 0 for Gaussian noise.",
                  input);
  }
  flag = a.scalar;
  if (!TruncatesToInt32(flag)) {
    return Refuse(refusal, name, "rician", Fault::kValue,
                  "The Rician flag (input %d) must be a number within the 32-bit integer "
                  "range; got %g.",
                  input, flag);
  }
  return true;
}

bool ReadCoils(const char* name, int input, const Argument& a, bool rician, int& coils,
               Refusal& refusal) {
  coils = 1;
  if (a.kind == Argument::Kind::kAbsent) return true;
  if (!a.IsRealScalar()) {
    return Refuse(refusal, name, "coils", Fault::kKind,
                  "coils (input %d) must be a real numeric scalar: the number of receive "
                  "channels summed in squares into the magnitude (1: one coil, Rician).",
                  input);
  }
  const double n = a.scalar;
  if (!(n >= 1.0 && n <= quillon::kMostCoils && n == std::floor(n))) {
    return Refuse(refusal, name, "coils", Fault::kValue,
                  "coils (input %d) must be a whole number from 1 to %d; got %g.", input,
                  quillon::kMostCoils, n);
  }
  if (n > 1.0 && !rician) {
    return Refuse(refusal, name, "coils", Fault::kValue,
                  "coils (input %d) describes a sum-of-squares magnitude: more than one coil "
                  "needs the Rician flag set.",
                  input);
  }
  coils = static_cast<int>(n);
  return true;
}

bool CheckIntegerScalar(const char* name, int input, const char* label, const Argument& a,
                        Refusal& refusal) {
  if (!a.IsRealScalar()) {
    return Refuse(refusal, name, "scalar", Fault::kKind,
                  "Input %d (%s) must be a real numeric scalar.", input, label);
  }
  if (!TruncatesToInt32(a.scalar)) {
    return Refuse(refusal, name, "range", Fault::kValue,
                  "Input %d (%s) must truncate to a 32-bit signed integer "
                  "(-2147483648 to 2147483647).",
                  input, label);
  }
  return true;
}

}  // namespace contract
