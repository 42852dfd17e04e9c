# Compiler and linker settings shared by every target of the project.

set(QUILLMARK_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address,undefined or thread")

# Our own code: warnings are errors, symbols are hidden unless exported on purpose.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

if(QUILLMARK_SANITIZE)
  add_compile_options(-fsanitize=${QUILLMARK_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${QUILLMARK_SANITIZE})
endif()

if(NOT WIN32)
  # Imports are bound when a module loads (and the table is then read-only): the first
  # resolution of a stack calls dozens of libdw functions for the first time, and lazy binding
  # would look each one up right then.
  add_link_options(-Wl,-z,now -Wl,-z,relro)
endif()

if(WIN32)
  enable_language(RC)
  # Wine's dbghelp reads DWARF 2 to 4 only. The runtime (libstdc++, libgcc, winpthreads) is linked
  # statically into every module, so users ship quillmark.dll and core.dll and nothing else.
  add_compile_options(-gdwarf-4)
  add_link_options(-static)
  add_compile_definitions(_WIN32_WINNT=0x0602 UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
endif()

function(quillmark_apply_settings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                                           -Wno-missing-field-initializers -Werror)
endfunction()

# Windows version resource of a DLL, from the project version.
function(quillmark_add_version_resource target name description)
  if(NOT WIN32)
    return()
  endif()
  set(QM_RC_NAME ${name})
  set(QM_RC_DESCRIPTION ${description})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${name}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# quillmark/version.h, generated from the project version into the build tree (and installed).
function(quillmark_add_version_header target)
  set(dir ${PROJECT_BINARY_DIR}/generated/include)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.h.in ${dir}/quillmark/version.h @ONLY)
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${dir}>)
endfunction()

# Call stacks name host frames only if the host's own code carries debug information that the
# Windows symbol handler reads (Wine's dbghelp: DWARF 2 to 4). GNU compilers targeting Windows
# get the option from the library, whatever the host's build type.
function(quillmark_carry_debug_format target)
  set(gnu "$<OR:$<COMPILE_LANG_AND_ID:CXX,GNU>,$<COMPILE_LANG_AND_ID:C,GNU>>")
  set(gnu_windows "$<AND:$<PLATFORM_ID:Windows>,${gnu}>")
  target_compile_options(${target} INTERFACE "$<${gnu_windows}:-gdwarf-4>")
endfunction()
