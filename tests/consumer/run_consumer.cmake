function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGV}\n${out}\n${err}")
  endif()
  message("${out}")
endfunction()

set(prefix ${WORK_DIR}/prefix)
set(consumer_build ${WORK_DIR}/build)
file(REMOVE_RECURSE ${WORK_DIR})

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(configure ${CMAKE_COMMAND} -S ${PROJECT_DIR} -B ${consumer_build} -G Ninja
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_PREFIX_PATH=${prefix})
if(SANITIZE)
  # An instrumented library needs an instrumented program in front of it.
  list(APPEND configure -DCMAKE_CXX_FLAGS=-fsanitize=${SANITIZE} -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=${SANITIZE})
endif()
if(TOOLCHAIN)
  # The cross toolchain searches only its own sysroot unless told otherwise.
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
       -DQuillmark_DIR=${prefix}/lib/cmake/Quillmark)
endif()
run(${configure})
run(${CMAKE_COMMAND} --build ${consumer_build})

if(WINDOWS)
  # Windows finds DLLs beside the program, which is how a host ships them.
  file(GLOB dlls ${prefix}/bin/*.dll)
  file(COPY ${dlls} DESTINATION ${consumer_build})
  run(${EMULATOR} ${consumer_build}/consumer.exe)
else()
  run(${consumer_build}/consumer)
endif()
