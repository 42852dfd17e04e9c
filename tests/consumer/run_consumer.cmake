# Installs this build into a scratch prefix (stripped, as a package would ship), then builds the
# consumer project against it the way the README tells users to, and runs its programs without
# any extra library path (under Wine for the Windows build, with exactly the DLLs the README
# lists beside them). On Linux it also builds one program through pkg-config.
function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGV}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
  message("${out}")
endfunction()

function(expect_output fragment)
  string(FIND "${run_output}" "${fragment}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "expected \"${fragment}\" in:\n${run_output}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
set(consumer_build ${WORK_DIR}/build)
file(REMOVE_RECURSE ${WORK_DIR})

if(WINDOWS)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
else()
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --strip)
endif()

# Release on purpose: the host frames must resolve without the consumer asking for debug
# information (on Windows the package carries -gdwarf-4 to it).
set(configure ${CMAKE_COMMAND} -S ${PROJECT_DIR} -B ${consumer_build} -G Ninja
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${prefix})
if(SANITIZE)
  # An instrumented library needs an instrumented program in front of it.
  list(APPEND configure -DCMAKE_CXX_FLAGS=-fsanitize=${SANITIZE} -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=${SANITIZE})
endif()
if(WINDOWS)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${prefix}/lib/cmake/Quillmark/toolchain-mingw64.cmake)
endif()
run(${configure})
run(${CMAKE_COMMAND} --build ${consumer_build})

# Everything runs with a clean library path: what the programs need, they find themselves.
set(clean_env ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH)

if(WINDOWS)
  file(READ ${consumer_build}/compile_commands.json commands)
  if(NOT commands MATCHES "-gdwarf-4")
    message(FATAL_ERROR "the consumer was not compiled with -gdwarf-4 from Quillmark::quillmark")
  endif()
  # The DLLs import nothing but the system's and each other: these two are all a host ships.
  set(shipped quillmark.dll core.dll)
  foreach(dll IN LISTS shipped)
    run(${OBJDUMP} -p ${prefix}/bin/${dll})
    string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${run_output}")
    foreach(import IN LISTS imports)
      string(REGEX REPLACE "DLL Name: " "" import "${import}")
      string(TOLOWER "${import}" import)
      if(NOT import MATCHES "^(kernel32|msvcrt|advapi32|dbghelp|user32|ucrtbase|api-ms-win-.*|core)\\.dll$")
        message(FATAL_ERROR "${dll} needs ${import}, which is not in the list a host ships")
      endif()
    endforeach()
    file(COPY ${prefix}/bin/${dll} DESTINATION ${consumer_build})
  endforeach()
  run(${EMULATOR} ${consumer_build}/resmonitor_app.exe)
  expect_output("resmonitor_app: ok")
  run(${EMULATOR} ${consumer_build}/consumer.exe)
  expect_output("consumer: ok")
else()
  # The scenario of interest: the program does not load libcore itself.
  run(${READELF} -d ${consumer_build}/resmonitor_app)
  if(run_output MATCHES "libcore")
    message(FATAL_ERROR "resmonitor_app needs libcore itself; the test does not cover its loading")
  endif()
  run(${clean_env} ${consumer_build}/resmonitor_app)
  expect_output("resmonitor_app: ok")
  run(${clean_env} ${consumer_build}/consumer)
  expect_output("consumer: ok")

  # pkg-config, after moving nothing: the .pc file finds the prefix from where it lies.
  set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
  run(${PKG_CONFIG} --variable=prefix quillmark)
  string(STRIP "${run_output}" pc_prefix)
  get_filename_component(pc_prefix "${pc_prefix}" REALPATH)
  get_filename_component(real_prefix "${prefix}" REALPATH)
  if(NOT pc_prefix STREQUAL real_prefix)
    message(FATAL_ERROR "quillmark.pc gives the prefix ${pc_prefix}, not ${real_prefix}")
  endif()
  run(${PKG_CONFIG} --cflags --libs quillmark)
  string(STRIP "${run_output}" pc_flags)
  separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
  run(${PKG_CONFIG} --variable=libdir quillmark)
  string(STRIP "${run_output}" pc_libdir)
  set(sanitize_flags "")
  if(SANITIZE)
    set(sanitize_flags -fsanitize=${SANITIZE})
  endif()
  run(${CXX} -std=c++17 ${sanitize_flags} ${PROJECT_DIR}/resmonitor_app.cpp -o ${WORK_DIR}/pc_app
      ${pc_flags} -Wl,-rpath,${pc_libdir})
  run(${clean_env} ${WORK_DIR}/pc_app)
  expect_output("resmonitor_app: ok")

  # The stripped libraries keep a link to their debug files, installed where libdw looks.
  file(GLOB debug_files ${prefix}/lib/.debug/*.debug)
  list(LENGTH debug_files debug_count)
  if(NOT debug_count EQUAL 2)
    message(FATAL_ERROR "expected the debug files of both libraries in lib/.debug: ${debug_files}")
  endif()
endif()
message("consumer test: ok")
