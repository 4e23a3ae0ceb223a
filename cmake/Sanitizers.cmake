# Sanitized builds of the whole tree, for the reliability runs:
#
#   cmake -S . -B build-asan -DDENOISERS_SANITIZE=address,undefined
#   cmake -S . -B build-tsan -DDENOISERS_SANITIZE=thread
#
# Every target (cores, stand-in host, runner, MEX files, tests) is compiled
# and linked with the same sanitizers, so a report anywhere ends the process:
# -fno-sanitize-recover=all makes the first undefined-behaviour report fatal,
# as the address and thread checks already are with halt_on_error. The run
# options (abort_on_error and the rest) are set by scripts/sanitize.sh.
#
# DENOISERS_FUZZ=ON (with clang) adds libFuzzer's coverage instrumentation
# to every target, for the fuzz/ targets (fuzz/CMakeLists.txt leaves the
# comparison callbacks out of the cores).
#
# The release build is untouched: with both options unset this file only
# defines denoisers_sanitize_mex() as a no-op.
set(DENOISERS_SANITIZE "" CACHE STRING
    "Sanitizers for every target: address,undefined or thread (empty: none)")
option(DENOISERS_FUZZ "Build the libFuzzer targets in fuzz/ (clang only)" OFF)

set(_denoisers_sanitize_flags "")
if(DENOISERS_SANITIZE)
  string(REPLACE "," ";" _denoisers_sanitizers "${DENOISERS_SANITIZE}")
  foreach(s IN LISTS _denoisers_sanitizers)
    if(NOT s MATCHES "^(address|undefined|thread|leak)$")
      message(FATAL_ERROR "DENOISERS_SANITIZE: unknown sanitizer '${s}' (address, undefined, thread, leak)")
    endif()
  endforeach()
  if("thread" IN_LIST _denoisers_sanitizers AND "address" IN_LIST _denoisers_sanitizers)
    message(FATAL_ERROR "DENOISERS_SANITIZE: address and thread cannot share a build")
  endif()
  list(APPEND _denoisers_sanitize_flags -fsanitize=${DENOISERS_SANITIZE})
  if("undefined" IN_LIST _denoisers_sanitizers)
    # Not part of "undefined": a double converted to an integer it does not
    # fit is undefined, and the cores promise explicit truncation instead
    # (platform/truncate.h, the 32-bit checks of the gateways).
    list(APPEND _denoisers_sanitize_flags -fsanitize=float-cast-overflow)
  endif()
  list(APPEND _denoisers_sanitize_flags -fno-sanitize-recover=all)
endif()
if(DENOISERS_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "DENOISERS_FUZZ needs clang (libFuzzer): -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # Coverage for the fuzzer everywhere; only the fuzz targets link its main.
  list(APPEND _denoisers_sanitize_flags -fsanitize=fuzzer-no-link)
endif()

if(_denoisers_sanitize_flags)
  add_compile_options(${_denoisers_sanitize_flags} -fno-omit-frame-pointer -g)
  add_link_options(${_denoisers_sanitize_flags})
  set(DENOISERS_SANITIZED ON)
else()
  set(DENOISERS_SANITIZED OFF)
endif()

# Called by add_mex on every MEX file. A sanitized MEX file shares the
# sanitizer's runtime, and with it the C++ runtime, with the program that
# loads it (mexrun, a test): a private static libstdc++ would allocate and
# free behind the sanitizer's interceptors of operator new and delete. gcc
# links the sanitizer runtime into the module itself, so -z defs still holds.
function(denoisers_sanitize_mex target)
  if(NOT DENOISERS_SANITIZED)
    return()
  endif()
  get_target_property(options ${target} LINK_OPTIONS)
  if(options)
    list(REMOVE_ITEM options -static-libstdc++ -static-libgcc)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      # clang leaves the sanitizer runtime to the executable: its symbols are
      # undefined in the module until it is loaded.
      list(REMOVE_ITEM options -Wl,-z,defs)
    endif()
    set_target_properties(${target} PROPERTIES LINK_OPTIONS "${options}")
  endif()
endfunction()
