# The sources of quillon's unit suites. They call nothing of
# POSIX, so the Linux build and the Windows build (under wine) compile the
# same lists; a new test file is added here once.
set(quillon_core_test_sources
  ${CMAKE_CURRENT_LIST_DIR}/transform_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/slabs_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rician_bias_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rician_mean_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/worker_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/denoise_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kernels_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dc_bound_test.cpp)
set(quillon_test_include_dirs ${CMAKE_SOURCE_DIR}/platform/tests)
