# Installation: the library, the tools, the public headers, a pkg-config file and a CMake
# package, the manual pages and the shell completion. Public headers keep their folders under
# include/qvfs/, and both include/ and include/qvfs/ are on the include path of users, so
# <qvfs/qvfs.h>, <qvfs/classes.h> and the headers they pull in resolve alike in the source tree
# and after installation.
include(CMakePackageConfigHelpers)

# An installed program finds libqvfs through a run path relative to the program itself
# ($ORIGIN/../lib with the default folders), so an installation works from any prefix, and
# after being moved, with no LD_LIBRARY_PATH and no ldconfig. The path is computed from the
# relative bin and lib folders, which `cmake --install --prefix` does not change. The build
# tree keeps CMake's absolute run path to the build folder.
file(RELATIVE_PATH QVFS_LIBDIR_FROM_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
set(QVFS_INSTALL_RPATH "\$ORIGIN/${QVFS_LIBDIR_FROM_BINDIR}")
set(qvfs_programs stfsctl)
if(TARGET stfs-player)
  list(APPEND qvfs_programs stfs-player)
endif()
set_target_properties(${qvfs_programs} PROPERTIES INSTALL_RPATH "${QVFS_INSTALL_RPATH}")

# A shared library needs no execute bit (Debian's policy for the package too).
install(TARGETS qvfs stfsctl EXPORT qvfsTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(FILES api/qvfs/qvfs.h api/qvfs/records.h api/qvfs/classes.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qvfs)
foreach(dir platform device serialfile disklayout index record fifo recorder replay backup)
  install(DIRECTORY ${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qvfs/${dir}
    FILES_MATCHING PATTERN "*.h")
endforeach()

configure_file(cmake/qvfs.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qvfs.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvfs.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(EXPORT qvfsTargets NAMESPACE qvfs:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qvfs)
configure_package_config_file(cmake/qvfsConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qvfsConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qvfs)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qvfsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvfsConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/qvfsConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qvfs)

# Manual pages, compressed as man-db and Debian expect them (gzip -n: no name or time inside,
# so the same page gives the same bytes).
find_program(QVFS_GZIP gzip REQUIRED)
set(qvfs_man_pages stfsctl.1)
if(TARGET stfs-player)
  list(APPEND qvfs_man_pages stfs-player.1)
endif()
set(qvfs_man_outputs)
foreach(page ${qvfs_man_pages})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${QVFS_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/docs/man/${page} > ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page}
    COMMENT "Compressing the manual page ${page}")
  list(APPEND qvfs_man_outputs ${out})
endforeach()
add_custom_target(qvfs_man_pages ALL DEPENDS ${qvfs_man_outputs})
install(FILES ${qvfs_man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# bash completion for stfsctl, where bash-completion loads it on first use.
install(FILES tools/stfsctl/stfsctl.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME stfsctl)
