# GNU Octave as a second host: whenever Octave's development files are
# present, ${CMAKE_BINARY_DIR}/NAME.mex is built next to NAME.mexa64 from the
# same gateway source, compiled with MEX_HOST_OCTAVE so that mex/mex_host.h
# maps the interface onto Octave's, and linked against Octave's own
# libraries instead of the stand-in host.
#
# Octave raises a MEX error as a C++ exception that unwinds through
# mexFunction into the interpreter. The Octave files therefore share the
# interpreter's libstdc++ and libgcc_s (one unwinder, one set of type
# information) instead of carrying static copies as the .mexa64 files do, and
# are compiled with unwind tables.
find_program(OCTAVE_MKOCTFILE mkoctfile)
find_program(OCTAVE_CLI octave-cli)

set(DENOISERS_OCTAVE OFF)
if(OCTAVE_MKOCTFILE AND OCTAVE_CLI)
  foreach(var OCTINCLUDEDIR OCTLIBDIR)
    execute_process(COMMAND ${OCTAVE_MKOCTFILE} -p ${var}
                    OUTPUT_VARIABLE OCTAVE_${var} OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      set(OCTAVE_${var} "")
    endif()
  endforeach()
  find_path(OCTAVE_MEX_INCLUDE_DIR mex.h HINTS ${OCTAVE_OCTINCLUDEDIR} NO_DEFAULT_PATH)
  find_library(OCTAVE_OCTINTERP_LIBRARY octinterp HINTS ${OCTAVE_OCTLIBDIR})
  find_library(OCTAVE_OCTAVE_LIBRARY octave HINTS ${OCTAVE_OCTLIBDIR})
  if(OCTAVE_MEX_INCLUDE_DIR AND OCTAVE_OCTINTERP_LIBRARY AND OCTAVE_OCTAVE_LIBRARY)
    set(DENOISERS_OCTAVE ON)
  endif()
endif()

if(DENOISERS_OCTAVE)
  message(STATUS "Octave found: building the .mex files (${OCTAVE_MEX_INCLUDE_DIR})")
else()
  message(STATUS "Octave not found: no .mex files, no Octave tests")
endif()

# add_octave_mex(NAME GATEWAY LIBS...): ${CMAKE_BINARY_DIR}/NAME.mex from the
# gateway source and the host-free static libraries.
function(add_octave_mex name gateway)
  set(target ${name}_octave)
  add_library(${target} MODULE ${gateway} ${CMAKE_SOURCE_DIR}/mex/mex_version.cpp)
  target_compile_definitions(${target} PRIVATE MEX_HOST_OCTAVE)
  target_compile_options(${target} PRIVATE -fexceptions -funwind-tables)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/mex)
  target_include_directories(${target} SYSTEM PRIVATE ${OCTAVE_MEX_INCLUDE_DIR})
  target_link_libraries(${target} PRIVATE ${ARGN} ${OCTAVE_OCTINTERP_LIBRARY}
                        ${OCTAVE_OCTAVE_LIBRARY} Threads::Threads m)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${name}
    PREFIX ""
    SUFFIX ".mex"
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
    CXX_VISIBILITY_PRESET hidden
    LINK_DEPENDS ${MEX_VERSION_SCRIPT})
  target_link_options(${target} PRIVATE
    -Wl,--version-script=${MEX_VERSION_SCRIPT}
    -Wl,--exclude-libs,ALL
    -Wl,-z,defs)
  install(TARGETS ${target} LIBRARY DESTINATION ${DENOISERS_INSTALL_DIR})
endfunction()

if(DENOISERS_OCTAVE)
  add_octave_mex(quillon ${CMAKE_SOURCE_DIR}/mex/quillon_gateway.cpp quillon_core contract platform)
  add_octave_mex(tessary ${CMAKE_SOURCE_DIR}/mex/tessary_gateway.cpp tessary_core contract)
  add_octave_mex(noise_sigma ${CMAKE_SOURCE_DIR}/mex/noise_sigma_gateway.cpp noise_sigma_core contract platform)
  if(DENOISERS_TESTS)
    enable_testing()
    add_subdirectory(${CMAKE_SOURCE_DIR}/octave/tests ${CMAKE_BINARY_DIR}/octave-tests)
  endif()
endif()
