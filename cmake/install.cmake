# What `cmake --install` puts where, and the Debian package that `cpack -G DEB` makes of it.
# Included last, after the programs' targets.
# Only the programs and their documentation are installed: never the tests, the test bundle
# or the static core library.
include(GNUInstallDirs)

install(TARGETS kelvo kelvo-info RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES docs/kelvo.1 docs/kelvo-info.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# bash-completion loads a completion by the command's name, so the one script that serves
# both programs is installed under each name.
set(KELVO_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES completions/kelvo DESTINATION ${KELVO_COMPLETION_DIR})
install(FILES completions/kelvo DESTINATION ${KELVO_COMPLETION_DIR} RENAME kelvo-info)

install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME kelvo)
set(CPACK_PACKAGE_VENDOR "The kelvo authors")
set(CPACK_PACKAGE_CONTACT "The kelvo authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "apply one LV2 plugin to a sound file, offline")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "kelvo reads a sound file, runs it through one LV2 audio plugin named by its\n"
    "URI and writes the result in the input's format and sample rate, with latency\n"
    "compensation and optional normalization. kelvo-info lists the installed\n"
    "plugins, tells which of them kelvo can run, and describes their ports.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The kelvo authors")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# The dependencies are read from the libraries the programs link (needs dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Without at least one plugin installed there is nothing to run.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS lv2-plugin)
include(CPack)
