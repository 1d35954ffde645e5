# Installation and the Debian package.  Included from the top-level
# CMakeLists.txt when the programs are built; only the library and the two
# programs are installed, never the tests, benchmarks or fuzz harnesses.
#
#   cmake -S . -B build-pkg -DCMAKE_INSTALL_PREFIX=/usr
#   cmake --build build-pkg && cmake --install build-pkg   # or: cd build-pkg && cpack -G DEB
include(GNUInstallDirs)

set(LUMAREK_HOMEPAGE "https://github.com/lumarek/lumarek" CACHE STRING "The project's home page, named in the package")
set(LUMAREK_SCREENSHOT_URL "https://raw.githubusercontent.com/lumarek/lumarek/main/docs/lumarek-recovery.png"
  CACHE STRING "Where software centres fetch the screenshot of the AppStream metadata from")
set(LUMAREK_PACKAGE_MAINTAINER "Lumarek developers <lumarek@users.noreply.github.com>"
  CACHE STRING "The maintainer named in the Debian package")

# The library is the programs' own, not one for others to link against: it
# goes to a folder of its own under the library folder, where the programs
# find it through a RUNPATH relative to themselves (so an unpacked or
# relocated tree works as well as the installed one).
set(LUMAREK_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/lumarek)
file(RELATIVE_PATH _lumarek_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${LUMAREK_PRIVATE_LIBDIR})
set_target_properties(lumarek-recovery lumarek-carve PROPERTIES INSTALL_RPATH "$ORIGIN/${_lumarek_bin_to_lib}")

install(TARGETS lumarek-recovery lumarek-carve RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS lumarek-general LIBRARY DESTINATION ${LUMAREK_PRIVATE_LIBDIR} NAMELINK_SKIP)

# The menu entry, its icon in every size drawn, and the AppStream metadata.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lumarek-recovery.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 32 48 64 128 256)
  install(FILES ${CMAKE_SOURCE_DIR}/app/resources/appicon/lumarek-recovery-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME lumarek-recovery.png)
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/io.github.lumarek.Recovery.metainfo.xml.in
  ${CMAKE_BINARY_DIR}/packaging/io.github.lumarek.Recovery.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/io.github.lumarek.Recovery.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The Debian package: lumarek, its dependencies found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumarek)
set(CPACK_PACKAGE_VENDOR "The Lumarek developers")
set(CPACK_PACKAGE_CONTACT "${LUMAREK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover deleted files from disks and memory cards")
# The summary is the first line of the description; CPack indents the rest
# and turns its empty lines into paragraph breaks.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Lumarek brings back deleted pictures, documents, audio, video and archives
from a partition, a memory card or a disk image by file carving: it ignores
the file system's directory, reads the raw bytes and recognises files by
their content. It never writes to the volume it scans.

The package holds the desktop program lumarek-recovery (Qt 5, in English
and Chinese) and the command-line carver lumarek-carve, which also writes
DFXML reports.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${LUMAREK_HOMEPAGE}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded, not linked, so dpkg-shlibdeps does not see them: Qt's image-format
# plugins for the window's WebP and TIFF thumbnails and previews, and Qt's own
# translations for its buttons and dialogs (OK, the folder dialog) in the
# Chinese window.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt5-image-formats-plugins, qttranslations5-l10n")
# The desktop program asks udisks2 for access to a partition; without it
# the user runs it with sudo or joins the disk group.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS udisks2)
# dpkg-shlibdeps finds the programs' own library in the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Debian wants the copyright and a compressed changelog in the package's
# documentation folder, and compressed manual pages.
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/copyright @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/lumarek-carve.1 ${CMAKE_BINARY_DIR}/packaging/lumarek-carve.1 @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/lumarek-recovery.1 ${CMAKE_BINARY_DIR}/packaging/lumarek-recovery.1 @ONLY)
find_program(GZIP_PROGRAM gzip REQUIRED)
set(_lumarek_compressed)
foreach(f changelog lumarek-carve.1 lumarek-recovery.1)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/${f}.gz
    COMMAND ${GZIP_PROGRAM} -9nkf ${CMAKE_BINARY_DIR}/packaging/${f}
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/${f})
  list(APPEND _lumarek_compressed ${CMAKE_BINARY_DIR}/packaging/${f}.gz)
endforeach()
add_custom_target(lumarek-package-docs ALL DEPENDS ${_lumarek_compressed})
install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_BINARY_DIR}/packaging/lumarek-carve.1.gz ${CMAKE_BINARY_DIR}/packaging/lumarek-recovery.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

include(CPack)
