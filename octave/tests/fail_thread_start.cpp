// Preloaded into octave-cli by the Octave error tests: makes thread starts
// fail on request, so the gateways' "threads" error is raised inside a real
// host, after the call has created its arrays and started some workers.
//
// While DENOISERS_FAIL_THREAD_START holds a number N, the next N thread starts
// succeed and every later one fails with EAGAIN; each successful start counts
// the number down. Unset or empty, thread starts are left alone, so the
// interpreter's own threads and every other test run as usual.
#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

CreateFn RealCreate() {
  static CreateFn real = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  return real;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int pthread_create(
    pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  const char* budget = std::getenv("DENOISERS_FAIL_THREAD_START");
  if (budget != nullptr && *budget != '\0') {
    const long left = std::strtol(budget, nullptr, 10);
    if (left <= 0) return EAGAIN;
    char next[32];
    std::snprintf(next, sizeof next, "%ld", left - 1);
    setenv("DENOISERS_FAIL_THREAD_START", next, 1);
  }
  return RealCreate()(thread, attr, start, arg);
}
