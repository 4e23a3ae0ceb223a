#include "argument.h"

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
