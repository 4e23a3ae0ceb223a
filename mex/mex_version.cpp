// The version query every Linux MEX file of this host generation exports.
// The Windows and macOS hosts do not ask for it, so those files export
// mexFunction alone.
#include "mex_host.h"

#if !defined(_WIN32) && !defined(__APPLE__)
extern "C" MEX_EXPORT const char* mexVersion() { return "MATLAB R14 native"; }
#endif
