# The sources of tessary's unit suites. They call nothing of
# POSIX, so the Linux build and the Windows build (under wine) compile the
# same lists; a new test file is added here once.
set(tessary_core_test_sources
  ${CMAKE_CURRENT_LIST_DIR}/denoise_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/features_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kernel_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/worker_test.cpp)
set(tessary_test_include_dirs ${CMAKE_SOURCE_DIR}/platform/tests)
