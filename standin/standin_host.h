// The stand-in host: what a test or a runner needs beyond the MEX calls to
// play the host's part. It creates and frees the arrays that it passes in,
// calls a gateway the way the host does, and reports what the call left.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "mex_host.h"

// Host calls beyond those the gateways use, for tests and the runner.
extern "C" {
mxArray* mxDuplicateArray(const mxArray* a);
mxArray* mxCreateDoubleScalar(double value);
void* mxGetData(const mxArray* a);
double* mxGetPi(const mxArray* a);
mxClassID mxGetClassID(const mxArray* a);
bool mxIsChar(const mxArray* a);
size_t mxGetElementSize(const mxArray* a);
// libmat's only export: MEX files link libmat, nothing here calls into it.
int matStandinPresent(void);
// libut's interrupt flag: pending after a Ctrl-C until the host clears it.
// utSetInterruptPending returns the flag's previous value.
bool utIsInterruptPending(void);
bool utSetInterruptPending(bool value);
}  // extern "C"

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
//
// `plhs` has room for max(nlhs, 1) entries, as the host provides (a gateway
// may set plhs[0] even when nlhs is 0); with nlhs 0 it may be null, and then
// such an output is reclaimed. An output the call did not create (an input
// handed back) arrives as a copy, so the caller owns every output it gets.
// blocks_left and arrays_left count everything reclaimed, the outputs of a
// failed call included. Errors travel by longjmp, so a gateway has no live
// C++ object with a destructor when it raises. Calls from different threads
// are serialised.
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
