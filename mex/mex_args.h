// A host array as the contract reads an input (contract/argument.h).
#pragma once

#include "argument.h"
#include "mex_host.h"

namespace mexargs {

inline contract::Argument ArgumentOf(const mxArray* a) {
  contract::Argument arg;
  if (a == nullptr) return arg;
  const bool real = !mxIsComplex(a) && !mxIsSparse(a);
  if (real && mxIsDouble(a)) {
    arg.kind = contract::Argument::Kind::kDouble;
    arg.data = mxGetPr(a);
  } else if (real && (mxIsNumeric(a) || mxIsLogical(a))) {
    arg.kind = contract::Argument::Kind::kNumeric;
  } else {
    return arg;
  }
  arg.ndim = mxGetNumberOfDimensions_700(a);
  arg.dims = mxGetDimensions_700(a);
  arg.elements = mxGetNumberOfElements(a);
  if (arg.elements == 1) arg.scalar = mxGetScalar(a);
  return arg;
}

}  // namespace mexargs
