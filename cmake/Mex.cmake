# add_mex(NAME OBJECTS...): builds ${CMAKE_BINARY_DIR}/NAME.mexa64 (Linux),
# NAME.mexw64 (Windows) or NAME.mexmaci64 (macOS) from the given object
# libraries and static libraries.
#
# A MEX file is loaded into the host's process next to the host's own C++
# runtime, so it carries its own: libstdc++ and libgcc are linked statically,
# and a version script exports only mexFunction and mexVersion (symbol
# version MEX). It links against the host's libmx, libmex and libmat; here
# those are the stand-in host's libraries, which carry the same sonames.
set(MEX_VERSION_SCRIPT ${CMAKE_SOURCE_DIR}/mex/mex.map)

function(add_mex name)
  add_library(${name} MODULE ${CMAKE_SOURCE_DIR}/mex/mex_version.cpp)
  target_link_libraries(${name} PRIVATE ${ARGN} mx mex mat Threads::Threads m)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/mex)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
    CXX_VISIBILITY_PRESET hidden)
  if(WIN32)
    # A DLL whose one export is the dllexport'd mexFunction; it imports only
    # the system's DLLs and the host's libmx and libmex (the calls it makes).
    # -static takes libgcc, libstdc++ and winpthread into the file, so no
    # MinGW runtime DLL has to be on the user's machine.
    set_target_properties(${name} PROPERTIES SUFFIX ".mexw64")
    target_link_options(${name} PRIVATE
      -static -static-libstdc++ -static-libgcc
      -Wl,--exclude-all-symbols
      -Wl,--no-undefined)
  elseif(APPLE)
    # A Mach-O bundle (CMake's MODULE on Apple) exporting mexFunction alone.
    # The system's C++ runtime is a shared library on every Mac.
    set(mex_exports ${CMAKE_SOURCE_DIR}/mex/mex.exports)
    set_target_properties(${name} PROPERTIES
      SUFFIX ".mexmaci64"
      LINK_DEPENDS ${mex_exports})
    target_link_options(${name} PRIVATE -Wl,-exported_symbols_list,${mex_exports})
  else()
    set_target_properties(${name} PROPERTIES
      SUFFIX ".mexa64"
      LINK_DEPENDS ${MEX_VERSION_SCRIPT})
    target_link_options(${name} PRIVATE
      -static-libstdc++ -static-libgcc
      -Wl,--version-script=${MEX_VERSION_SCRIPT}
      -Wl,--exclude-libs,ALL
      -Wl,-z,defs
      # The host's MEX files link libmx, libmex and libmat whether or not they call them.
      -Wl,--no-as-needed)
  endif()
  # Sanitized builds share the sanitizer's runtime (cmake/Sanitizers.cmake).
  if(COMMAND denoisers_sanitize_mex)
    denoisers_sanitize_mex(${name})
  endif()
endfunction()
