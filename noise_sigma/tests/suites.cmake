# The sources of noise_sigma's unit suites, compiled by the Linux
# build and by the Windows build (under wine) alike.
set(noise_sigma_core_test_sources
  ${CMAKE_CURRENT_LIST_DIR}/estimate_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scan_faults_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rician_variance_test.cpp)
set(noise_sigma_test_include_dirs ${CMAKE_SOURCE_DIR}/platform/tests)
