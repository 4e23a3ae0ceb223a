# The contract's suite; plain values only, so the Windows build (under wine)
# compiles the same list.
set(contract_test_sources ${CMAKE_CURRENT_LIST_DIR}/contract_test.cpp)
