# Installation: headers, both libraries, a CMake package (find_package(Quillmark CONFIG) gives
# Quillmark::quillmark and Quillmark::core), on Linux a pkg-config file, and on Windows the
# toolchain file a consumer builds with. The installed tree can be moved as a whole: nothing in
# it names the prefix it was installed to.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUILLMARK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quillmark)

target_include_directories(quillmark INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(quillmark_core INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(quillmark_core PROPERTIES EXPORT_NAME core)

if(NOT WIN32)
  # Each library finds its neighbours in its own folder: a program that links only
  # libquillmark.so (--as-needed drops an unused libcore.so) still gets libcore.so through it.
  set_target_properties(quillmark quillmark_core PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

install(TARGETS quillmark quillmark_core EXPORT QuillmarkTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/quillmark DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY core/include/core DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_BINARY_DIR}/generated/include/quillmark/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillmark)

install(EXPORT QuillmarkTargets NAMESPACE Quillmark:: DESTINATION ${QUILLMARK_CMAKE_DIR})
configure_package_config_file(cmake/QuillmarkConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/QuillmarkConfig.cmake INSTALL_DESTINATION ${QUILLMARK_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QuillmarkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/QuillmarkConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/QuillmarkConfigVersion.cmake
        DESTINATION ${QUILLMARK_CMAKE_DIR})

if(WIN32)
  # The same cross toolchain the library was built with; beside the package, it also makes the
  # package's own prefix searchable (see the file).
  install(FILES cmake/toolchain-mingw64.cmake DESTINATION ${QUILLMARK_CMAKE_DIR})
else()
  # pkg-config finds the prefix from where the .pc file lies (${pcfiledir}).
  file(RELATIVE_PATH QUILLMARK_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
  string(REGEX REPLACE "/$" "" QUILLMARK_PC_TO_PREFIX "${QUILLMARK_PC_TO_PREFIX}")
  configure_file(cmake/quillmark.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quillmark.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillmark.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
