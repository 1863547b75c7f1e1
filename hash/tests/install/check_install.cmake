# Installs the build into a scratch prefix, then builds and runs a consumer against it.
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix
                OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
set(ENV{PKG_CONFIG_PATH} ${WORK}/prefix/lib/pkgconfig)
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/consumer -G Ninja
                -DCMAKE_PREFIX_PATH=${WORK}/prefix "-DCMAKE_C_FLAGS=${FLAGS}"
                "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the consumer did not configure against the installed package")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/consumer RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the consumer did not build against the installed package")
endif()
foreach(program consumer_cmake consumer_pkgconfig)
  execute_process(COMMAND ${WORK}/consumer/${program} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${program} failed against the installed library")
  endif()
endforeach()
