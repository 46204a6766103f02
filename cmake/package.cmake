# make package: a .deb for prefix /usr. Its dependencies are what dpkg-shlibdeps reads from the
# programs' shared libraries, plus what Qt loads at run time and no link names: its platform
# plugins (X11 and the rest in qt6-qpa-plugins, Wayland in qt6-wayland).
find_program(GZIP gzip REQUIRED)

# The changelog and copyright every Debian package carries in /usr/share/doc/<name>.
set(TG_PACKAGE_DOC_DIR ${CMAKE_BINARY_DIR}/share/doc/tintguard)
add_custom_command(OUTPUT ${TG_PACKAGE_DOC_DIR}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TG_PACKAGE_DOC_DIR}
  COMMAND ${GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${TG_PACKAGE_DOC_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${TG_PACKAGE_DOC_DIR}/changelog.gz)
install(FILES ${TG_PACKAGE_DOC_DIR}/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tintguard)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tintguard)
set(CPACK_PACKAGE_VENDOR "Lumen Harbor")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make movies and photos carry a Display P3 colour tag")
set(CPACK_PACKAGE_DESCRIPTION "\
Tintguard tags videos and photos as Display P3, so that footage graded in\n\
Display P3 shows the same colours in every player. Movies are tagged by\n\
editing their QuickTime and MP4 atoms in place, and photos get a Display P3\n\
profile with their pixels untouched. A web version of a movie can be baked\n\
to BT.709.\n\
\n\
The package holds the window (tintguard) and tintguard-cli for scripts.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Lumen Harbor <tintguard@lumenharbor.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-wayland")
include(CPack)
