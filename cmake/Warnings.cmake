# Our own targets build warning-free; third-party code is never compiled here.
function(vorn_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror
    $<$<COMPILE_LANGUAGE:C>:-Wstrict-prototypes>)
endfunction()
