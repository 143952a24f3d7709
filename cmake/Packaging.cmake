# The Debian package: cpack -G DEB in the build folder makes
# twinfold_<version>_<arch>.deb. Runtime libraries come in by package name:
# dpkg-shlibdeps (from dpkg-dev) reads them off the installed binaries; what
# is loaded by name at run time and so invisible to it is listed by hand.
set(CPACK_PACKAGE_NAME twinfold)
set(CPACK_PACKAGE_VENDOR Zentorvi)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make a folder an exact, verified mirror of another")
set(CPACK_PACKAGE_DESCRIPTION
  "Quarlex Twinfold scans a source and a destination folder in parallel, plans what to copy, delete,\n"
  "create and remove, checks the plan against a mass-delete threshold and the free space, and applies\n"
  "it with parallel workers. Named tasks run from the window, or from the command line, cron or a\n"
  "systemd timer without a display.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Zentorvi")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded by name when needed: libcurl by the webhook, the toolkit's display
# plugins by Qt; the icon font is found in its Debian folder.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4, qt6-qpa-plugins, fonts-material-design-icons-iconfont")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
include(CPack)
