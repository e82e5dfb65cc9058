# The Debian package: "cpack -G DEB" in a build configured for /usr makes
# reelwright_<version>-1_<arch>.deb from the files "cmake --install" puts in
# place, with the run-time dependencies read from the binaries (dpkg-shlibdeps),
# the GStreamer plug-ins the preview plays through and Qt's own translations
# (the open dialog and the boxes in the desktop's language).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME reelwright)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "The Reelwright developers")
set(CPACK_PACKAGE_CONTACT "The Reelwright developers <maintainers@reelwright.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "repair damaged AVI files and watch the result")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://reelwright.example.org/")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-libav, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, gstreamer1.0-pulseaudio | gstreamer1.0-alsa")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mpv")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Debian's folder rights, whatever the builder's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# The long description below the summary line; cpack indents it and marks
# the empty line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Reelwright repairs AVI files that players refuse, cannot seek in or stop
early: files whose index is missing, incomplete or wrong, and files whose
data end in the middle of a frame or hold a stretch of garbage, as a broken
download or an interrupted camera or capture recording leaves them.

It walks the chunks really present, steps over damage, builds a new index
and writes the repaired file beside the original, or repairs it in place.
The window previews the result; reelwright-fix does the same from scripts.")

# What Debian wants of every package besides its files: the copyright and,
# compressed, the changelog, in the package's documentation folder.
configure_file("${CMAKE_CURRENT_LIST_DIR}/changelog.in" "${CMAKE_BINARY_DIR}/packaging/changelog.Debian" @ONLY)
find_program(GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT "${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz"
  COMMAND "${GZIP}" -9nf "${CMAKE_BINARY_DIR}/packaging/changelog.Debian" -k
  DEPENDS "${CMAKE_BINARY_DIR}/packaging/changelog.Debian"
  VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS "${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz")
install(FILES "${CMAKE_CURRENT_LIST_DIR}/copyright" "${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz"
  DESTINATION "${CMAKE_INSTALL_DOCDIR}")

include(CPack)
