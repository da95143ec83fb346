# Installation: the library, the tools, the public headers, a pkg-config file and a CMake
# package. Public headers keep their folders under include/qvfs/, and both include/ and
# include/qvfs/ are on the include path of users, so <qvfs/qvfs.h>, <qvfs/classes.h> and the
# headers they pull in resolve alike in the source tree and after installation.
include(CMakePackageConfigHelpers)

install(TARGETS qvfs stfsctl EXPORT qvfsTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
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
