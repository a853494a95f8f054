# The Debian package: `cpack -G DEB` in the build folder packs what `cmake --install` installs,
# under /usr, stripped, with the run-time dependencies that dpkg-shlibdeps finds from the
# libraries the program links.
set(CPACK_PACKAGE_NAME sorlen)
set(CPACK_PACKAGE_VENDOR "The Sorlen developers")
set(CPACK_PACKAGE_CONTACT "${SORLEN_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop video downloader for YouTube, DailyMotion and Blip.tv")
# Lines of the long description stay under 80 columns, as Debian's tools expect.
set(CPACK_PACKAGE_DESCRIPTION
    "Sorlen downloads videos from video pages. Paste the address of a YouTube,
DailyMotion or Blip.tv page and press OK: it reads the page, finds the title
and the media file, asks where to save it and downloads it while a window
shows the progress. Any number of downloads run at once, directly or through
an HTTP or SOCKS proxy.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SORLEN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_GENERATOR DEB)
include(CPack)
