// libmat: MEX files link it as they do against the real host, though nothing
// they call lives here.
#include "standin_host.h"

extern "C" int matStandinPresent(void) { return 1; }
