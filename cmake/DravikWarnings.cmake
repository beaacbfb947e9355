# dravik_set_warnings(<target>): the project's warning flags, errors with DRAVIK_WERROR.
function(dravik_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${DRAVIK_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                           $<$<BOOL:${DRAVIK_WERROR}>:-Werror>)
  endif()
endfunction()
