# Run by cpack after it has made the Debian package (CPACK_POST_BUILD_SCRIPTS).
#
# CPack gives a package whose shared library lies below /usr/lib a postinst and a postrm that run
# ldconfig. The package's trigger (cmake/deb/triggers: "activate-noawait ldconfig") already has
# dpkg run ldconfig once after the whole installation, as Debian's packages do, so the two
# scripts would only run it a second time (lintian: maintscript-calls-ldconfig). They are taken
# out: the package is unpacked and built again without them; nothing else changes.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${deb}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
