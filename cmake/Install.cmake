# Installation: headers, both libraries, a CMake package (find_package(Quillmark CONFIG) gives
# Quillmark::quillmark and Quillmark::core) and, on Linux, a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUILLMARK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quillmark)

target_include_directories(quillmark INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(quillmark_core INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(quillmark_core PROPERTIES EXPORT_NAME core)

install(TARGETS quillmark quillmark_core EXPORT QuillmarkTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/quillmark DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY core/include/core DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT QuillmarkTargets NAMESPACE Quillmark:: DESTINATION ${QUILLMARK_CMAKE_DIR})
configure_package_config_file(cmake/QuillmarkConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/QuillmarkConfig.cmake INSTALL_DESTINATION ${QUILLMARK_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QuillmarkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/QuillmarkConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/QuillmarkConfigVersion.cmake
        DESTINATION ${QUILLMARK_CMAKE_DIR})

if(NOT WIN32)
  configure_file(cmake/quillmark.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quillmark.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillmark.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
