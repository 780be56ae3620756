# Per-target warning flags; -Werror only where the preset asks for it.
function(vtx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wnon-virtual-dtor
                                           -Wno-missing-field-initializers)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wshadow=local)
  endif()
  if(VTX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
