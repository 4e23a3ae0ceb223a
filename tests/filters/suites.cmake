# The typed suites of the two filters (FilterCore): each test once, run for
# quillon and for tessary through their traits (filter_traits.h). Nothing of
# POSIX, so the Windows build (under wine) compiles the same list.
set(filter_core_test_sources ${CMAKE_CURRENT_LIST_DIR}/denoise_test.cpp)
set(filter_test_include_dirs ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_SOURCE_DIR}/platform/tests
  ${CMAKE_SOURCE_DIR}/quillon/tests ${CMAKE_SOURCE_DIR}/tessary/tests)
