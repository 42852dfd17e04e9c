# Third-party dependencies, all from Debian packages.
#
# fmt, utfcpp and nlohmann/json are used header-only on both targets; zlib is linked statically
# into the Windows library. The MinGW build must never
# see /usr/include as a whole (glibc headers would shadow the Windows ones), so it gets a folder
# that holds only links to those header folders.

add_library(quillmark_deps INTERFACE)
target_compile_definitions(quillmark_deps INTERFACE FMT_HEADER_ONLY)

if(WIN32)
  set(_dep_includes ${CMAKE_BINARY_DIR}/third_party_include)
  file(MAKE_DIRECTORY ${_dep_includes})
  foreach(_dir fmt utf8cpp nlohmann)
    if(NOT EXISTS /usr/include/${_dir})
      message(FATAL_ERROR
              "/usr/include/${_dir} is missing: install libfmt-dev, libutfcpp-dev and nlohmann-json3-dev")
    endif()
    file(CREATE_LINK /usr/include/${_dir} ${_dep_includes}/${_dir} SYMBOLIC)
  endforeach()
  target_include_directories(quillmark_deps SYSTEM INTERFACE ${_dep_includes})
else()
  find_path(QUILLMARK_FMT_INCLUDE fmt/format.h REQUIRED)
  find_path(QUILLMARK_UTFCPP_INCLUDE utf8cpp/utf8.h REQUIRED)
  find_path(QUILLMARK_JSON_INCLUDE nlohmann/json.hpp REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBDW REQUIRED IMPORTED_TARGET libdw)
  find_package(Threads REQUIRED)
  target_link_libraries(quillmark_deps INTERFACE PkgConfig::LIBDW ${CMAKE_DL_LIBS} Threads::Threads)
endif()

# zlib inflates compressed debug sections. The Windows library links everything statically, so it
# takes zlib's archive, never the import library of a zlib DLL.
add_library(quillmark_zlib INTERFACE)
if(WIN32)
  find_library(QUILLMARK_ZLIB_ARCHIVE NAMES libz.a REQUIRED)
  find_path(QUILLMARK_ZLIB_INCLUDE zlib.h REQUIRED)
  target_include_directories(quillmark_zlib SYSTEM INTERFACE ${QUILLMARK_ZLIB_INCLUDE})
  target_link_libraries(quillmark_zlib INTERFACE ${QUILLMARK_ZLIB_ARCHIVE})
else()
  find_package(ZLIB REQUIRED)
  target_link_libraries(quillmark_zlib INTERFACE ZLIB::ZLIB)
endif()

if(QUILLMARK_BUILD_TESTS)
  if(WIN32)
    # No prebuilt GoogleTest for MinGW: build Debian's source copy with the cross compiler.
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  else()
    find_package(GTest REQUIRED)
  endif()
endif()
