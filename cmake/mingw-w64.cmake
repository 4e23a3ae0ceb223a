# Cross-builds the Windows x64 MEX files and the Windows stand-in host with
# Debian's mingw-w64 toolchain:
#   cmake -S . -B build-win64 --toolchain cmake/mingw-w64.cmake
#
# The posix flavour of the compiler is used: its C++ runtime has std::thread
# and std::mutex, which the stand-in host needs. The MEX files start their
# workers through the C runtime's _beginthreadex all the same.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program and DLL of the build carries its own C and C++ runtime, so
# that nothing needs libgcc_s, libstdc++ or libwinpthread DLLs at run time:
# the MEX files because a user's machine has none, the test programs because
# wine runs them straight from the build directory.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs run under wine when it is installed (see tests/windows).
find_program(MINGW_WINE_RUN NAMES wine wine64)
if(MINGW_WINE_RUN)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine_run.sh)
endif()
