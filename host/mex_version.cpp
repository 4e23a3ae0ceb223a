// The version query every MEX file of this host generation exports.
#include "mex_host.h"

extern "C" MEX_EXPORT const char* mexVersion() { return "MATLAB R14 native"; }
