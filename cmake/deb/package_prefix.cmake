# Read by cpack before it makes a package (CPACK_PROJECT_CONFIG_FILE).
#
# The Debian package installs below /usr, and Debian keeps libraries, their CMake package and
# their pkg-config files in /usr/lib/<multiarch> (x86_64-linux-gnu, ...), where GNUInstallDirs
# puts them only when the build is configured for that prefix. A tree configured for another
# (the default /usr/local) would lay the package out wrongly, so it makes none.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_VANTREL_INSTALL_PREFIX MATCHES "^/usr/?$")
  message(FATAL_ERROR "the Debian package is made from a build configured with "
                      "-DCMAKE_INSTALL_PREFIX=/usr (this one is for ${CPACK_VANTREL_INSTALL_PREFIX})")
endif()
