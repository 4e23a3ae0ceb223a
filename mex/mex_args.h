// A host array as the contract reads an input (contract/argument.h).
#pragma once

#include "argument.h"
#include "mex_host.h"

namespace mexargs {

// Null: an input that was not passed.
inline contract::Argument ArgumentOf(const mxArray* a) {
  using Kind = contract::Argument::Kind;
  contract::Argument arg;
  if (a == nullptr) return arg;
  const bool real = !mxIsComplex(a) && !mxIsSparse(a);
  if (real && mxIsDouble(a)) {
    arg.kind = Kind::kDouble;
    arg.data = mxGetPr(a);
  } else if (real && (mxIsNumeric(a) || mxIsLogical(a))) {
    arg.kind = Kind::kNumeric;
  } else {
    arg.kind = Kind::kOther;
    return arg;
  }
  arg.ndim = mxGetNumberOfDimensions_700(a);
  arg.dims = mxGetDimensions_700(a);
  arg.elements = mxGetNumberOfElements(a);
  if (arg.elements == 1) arg.scalar = mxGetScalar(a);
  return arg;
}

}  // namespace mexargs
