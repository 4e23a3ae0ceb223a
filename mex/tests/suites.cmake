# The sources of the gateway suites, linked with the gateways' objects and
# the stand-in host: the filters' typed suite (both gateways, under their
# own names) and noise_sigma's. They call nothing of POSIX, so the Linux
# build and the Windows build (under wine) compile the same lists.
set(filter_gateway_test_sources ${CMAKE_CURRENT_LIST_DIR}/gateway_test.cpp)
set(noise_sigma_gateway_test_sources ${CMAKE_CURRENT_LIST_DIR}/noise_sigma_gateway_test.cpp)
set(gateway_test_include_dirs ${CMAKE_SOURCE_DIR}/platform/tests ${CMAKE_SOURCE_DIR}/standin
  ${CMAKE_SOURCE_DIR}/mex ${CMAKE_SOURCE_DIR}/tests/filters ${CMAKE_SOURCE_DIR}/quillon/tests
  ${CMAKE_SOURCE_DIR}/tessary/tests ${CMAKE_SOURCE_DIR}/noise_sigma/tests)
