# The Debian package, made by CPack from what `cmake --install` puts under /usr: the library,
# the headers, qvfs.pc, the CMake package, stfsctl, stfs-player with its .desktop entry, the
# manual pages and the bash completion. scripts/package builds it (`cpack -G DEB` in a build
# folder) and checks it with lintian. Its dependencies are those dpkg-shlibdeps finds for the
# programs and the library.

# The project has no mail domain of its own: .invalid (RFC 2606) says so, without naming
# anybody else's. A packager sets their own.
set(QVFS_PACKAGE_MAINTAINER "qvfs developers <maintainers@qvfs.invalid>" CACHE STRING
  "Maintainer field and changelog signature of the Debian package")
set(QVFS_MAINTAINER "${QVFS_PACKAGE_MAINTAINER}")

# Debian wants a copyright file and, for a package that is its own upstream (a version
# without a Debian revision), a changelog.gz in /usr/share/doc/<package>/. The changelog's date
# is SOURCE_DATE_EPOCH's when it is set (scripts/package sets it to the last commit's), so the
# same sources give the same package.
set(qvfs_doc ${CMAKE_CURRENT_BINARY_DIR}/package-doc)
file(CONFIGURE OUTPUT ${qvfs_doc}/copyright @ONLY CONTENT
"qvfs: the record file system library for vehicle video recorder disks, with the
command-line tool stfsctl and the desktop player stfs-player.

Copyright (C) 2026 the qvfs developers

The project has not published a licence for its sources or for this package.
")
string(TIMESTAMP qvfs_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(CONFIGURE OUTPUT ${qvfs_doc}/changelog @ONLY CONTENT
"qvfs (@PROJECT_VERSION@) unstable; urgency=medium

  * qvfs @PROJECT_VERSION@: libqvfs, stfsctl and stfs-player.

 -- @QVFS_MAINTAINER@  @qvfs_changelog_date@
")
execute_process(COMMAND ${QVFS_GZIP} -9 -n -c ${qvfs_doc}/changelog
  OUTPUT_FILE ${qvfs_doc}/changelog.gz RESULT_VARIABLE qvfs_gzip_result)
if(NOT qvfs_gzip_result EQUAL 0)
  message(FATAL_ERROR "gzip of the package's changelog failed")
endif()
install(FILES ${qvfs_doc}/copyright ${qvfs_doc}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qvfs)
set(CPACK_PACKAGE_VENDOR "the qvfs developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QVFS_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "record file system library and tools for vehicle video recorder disks")
set(CPACK_PACKAGE_DESCRIPTION
"libqvfs reads and writes the record disks of multi-channel vehicle video
recorders straight from the device, a disk image or a folder copy: the
partition and STFS tables, the record partition, the record index and the
record files. It formats record disks, records through its recording
engine, replays with H.264 decoding and backs recordings up as ASF, MP4
(audio as AAC) or the recorder's own .bin files.

This package holds the shared library with its headers, pkg-config file
and CMake package; stfsctl, the command-line tool for operators and
scripts; and stfs-player, the desktop player that searches, plays and
backs up recordings.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # qvfs_<version>_<architecture>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The library is in a folder of the loader's cache: dpkg runs ldconfig once after installing
# or removing it, through libc-bin's trigger. (CPack's own postinst and postrm call ldconfig
# as well; lintian warns about that, and the second call does no harm.)
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/package-control/triggers CONTENT
  "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/package-control/triggers)

include(CPack)
