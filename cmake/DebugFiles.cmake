# Separate debug files, so that `cmake --install <build> --strip` ships small binaries without
# losing their symbols and source lines.
#
# Linux: after each link the DWARF of a library is copied into <file>.debug and the binary gets a
# .gnu_debuglink to it. Installing puts the copy into <libdir>/.debug, which libdw (and gdb)
# search for the name the link gives; strip keeps the link. Windows: Wine's dbghelp reads the
# DWARF inside a DLL only, so the Windows package is installed unstripped (see README).
include(GNUInstallDirs)

function(quillmark_split_debug_file target)
  if(WIN32 OR NOT CMAKE_OBJCOPY)
    return()
  endif()
  set(file $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND ${CMAKE_OBJCOPY} --remove-section=.gnu_debuglink --add-gnu-debuglink=${file}.debug ${file}
    VERBATIM)
  install(FILES ${file}.debug DESTINATION ${CMAKE_INSTALL_LIBDIR}/.debug)
endfunction()
