// Whether the user has asked the host to stop the running call (Ctrl-C).
//
// The query is looked up when first asked, among what the host process has
// already loaded, so a MEX file gains no link-time dependency and loads in a
// host that offers none: MATLAB keeps the flag in its libut
// (utIsInterruptPending), as does the stand-in host; Octave sets
// octave_signal_caught from its signal handler and acts on it only between
// statements, but the flag is already set while a MEX call runs, so the
// call can stop early. Only the thread that the host called the gateway on
// asks.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <csignal>
#endif

namespace mexhost {

#if defined(MEX_HOST_OCTAVE)

inline bool InterruptPending() {
  static volatile const std::sig_atomic_t* const caught =
      static_cast<volatile const std::sig_atomic_t*>(dlsym(RTLD_DEFAULT, "octave_signal_caught"));
  return caught != nullptr && *caught != 0;
}

#else

using UtQuery = bool (*)();

inline UtQuery FindUtQuery() {
#ifdef _WIN32
  HMODULE ut = GetModuleHandleA("libut.dll");
  if (ut == nullptr) return nullptr;
  return reinterpret_cast<UtQuery>(reinterpret_cast<void*>(GetProcAddress(ut, "utIsInterruptPending")));
#else
  return reinterpret_cast<UtQuery>(dlsym(RTLD_DEFAULT, "utIsInterruptPending"));
#endif
}

inline bool InterruptPending() {
  static const UtQuery query = FindUtQuery();
  return query != nullptr && query();
}

#endif

// The form a core's options take: a query with a context pointer.
inline bool InterruptPendingQuery(void*) { return InterruptPending(); }

}  // namespace mexhost
