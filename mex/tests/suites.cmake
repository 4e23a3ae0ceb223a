# The sources of the gateway suites, each linked with its gateway's object
# and the stand-in host. They call nothing of POSIX, so the Linux build and
# the Windows build (under wine) compile the same lists.
set(quillon_gateway_test_sources ${CMAKE_CURRENT_LIST_DIR}/quillon_gateway_test.cpp)
set(tessary_gateway_test_sources ${CMAKE_CURRENT_LIST_DIR}/tessary_gateway_test.cpp)
set(noise_sigma_gateway_test_sources ${CMAKE_CURRENT_LIST_DIR}/noise_sigma_gateway_test.cpp)
# Each suite also sees its core's test fixtures (NAME/tests).
set(gateway_test_include_dirs ${CMAKE_SOURCE_DIR}/platform/tests ${CMAKE_SOURCE_DIR}/standin
  ${CMAKE_SOURCE_DIR}/mex)
