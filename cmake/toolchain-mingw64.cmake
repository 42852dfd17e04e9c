# Cross-build for 64-bit Windows with Debian's MinGW-w64 (posix thread model).
#
# The library's own build uses it from cmake/; the Windows package installs it beside its CMake
# package (lib/cmake/Quillmark), for hosts to build with:
#   cmake -DCMAKE_TOOLCHAIN_FILE=<prefix>/lib/cmake/Quillmark/toolchain-mingw64.cmake \
#         -DCMAKE_PREFIX_PATH=<prefix> ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)

# Headers, libraries and packages come from the Windows sysroot only, never from the Linux
# system. The prefixes the caller names (CMAKE_PREFIX_PATH) hold Windows packages too, so they
# count as roots; so does the package this file was installed with.
set(CMAKE_FIND_ROOT_PATH /usr/${_triple} ${CMAKE_PREFIX_PATH})
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/QuillmarkConfig.cmake)
  get_filename_component(_quillmark_prefix ${CMAKE_CURRENT_LIST_DIR}/../../.. ABSOLUTE)
  list(APPEND CMAKE_FIND_ROOT_PATH ${_quillmark_prefix})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs of the build run under Wine, where the runner script is at hand (the library's tree).
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
endif()
