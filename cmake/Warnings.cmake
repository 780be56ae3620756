# Per-target warning flags; -Werror only where the preset asks for it.
function(vtx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow=local
                                           -Wnon-virtual-dtor -Wno-missing-field-initializers)
  if(VTX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
