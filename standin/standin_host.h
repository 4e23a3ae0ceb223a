// The stand-in host: what a test or a runner needs beyond the MEX calls to
// play the host's part. It creates and frees the arrays that it passes in,
// calls a gateway the way the host does, and reports what the call left.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "mex_host.h"

namespace standin {

using MexFunction = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

struct CallResult {
  bool ok = false;           // the gateway returned normally
  std::string id;            // identifier of the error it raised, when !ok
  std::string message;       // text of that error
  std::string printed;       // everything it printed through mexPrintf
  std::size_t blocks_left = 0;  // mxMalloc blocks it did not free
  std::size_t arrays_left = 0;  // arrays it created and did not return
};

// Calls `fn` as the host does. After the call, as the host does, frees every
// mxMalloc block and every array the call created and did not return in
// plhs. On an error, the outputs are freed too and plhs[i] set to null.
// Arrays in plhs after a successful call belong to the caller (Destroy).
CallResult Call(MexFunction fn, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

// Arrays owned by the caller.
mxArray* CreateArray(mxClassID cls, const std::vector<int>& dims, bool complex = false);
mxArray* CreateSparse(int rows, int cols);  // a real double sparse matrix, no entries
mxArray* CreateDouble(const std::vector<int>& dims, const double* column_major = nullptr);
mxArray* CreateScalar(double value);
void Destroy(mxArray* a);

std::vector<int> Dimensions(const mxArray* a);
mxClassID ClassOf(const mxArray* a);

// Everything alive in the host right now, for leak checks.
std::size_t LiveArrays();
std::size_t LiveBlocks();

}  // namespace standin
