# What `cmake --install` puts where, and the Debian package that `cpack -G DEB` makes of it.
# Included last, after the programs' targets.
# Only the programs and their documentation are installed: never the tests, the test bundle
# or the static core library. The Python module, when built, is installed by python/ as the
# component "python", and becomes a package of its own, python3-kelvo.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME programs)

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
# Each package's description starts with its own summary line: CPack would put one summary,
# CPACK_PACKAGE_DESCRIPTION_SUMMARY, before both, so that is left unset.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "apply LV2 plugins to a sound file, offline\n"
    "kelvo reads a sound file, runs it through LV2 audio plugins named by their\n"
    "URIs, in a chain, and writes the result in the input's format and sample\n"
    "rate, with latency compensation, tails, presets, and peak or loudness\n"
    "normalization. Only a finished output replaces an existing file.\n"
    "kelvo-info lists the installed plugins, tells which of them kelvo can run,\n"
    "and describes their ports.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The kelvo authors")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# The dependencies are read from the libraries the programs link (needs dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Without at least one plugin installed there is nothing to run.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS lv2-plugin)

# One Debian package per component: kelvo, and python3-kelvo when the module is built.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME kelvo)
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
if(TARGET _kelvo)
    list(APPEND CPACK_COMPONENTS_ALL python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kelvo)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
    # The extension is built for one Python version's ABI; pybind11 finds numpy's C
    # interface when the module is imported, so any numpy of the release will do.
    math(EXPR python_next_minor "${Python3_VERSION_MINOR} + 1")
    string(CONCAT CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
        "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), "
        "python3 (<< ${Python3_VERSION_MAJOR}.${python_next_minor}), python3-numpy")
    string(CONCAT CPACK_DEBIAN_PYTHON_DESCRIPTION
        "LV2 audio plugins on numpy arrays, with kelvo's host\n"
        "The Python module kelvo runs LV2 plugins and chains of them on numpy\n"
        "arrays, with the host of the kelvo command line: the same output sample\n"
        "for sample, latency compensation, tails and presets. It lists the\n"
        "installed plugins and describes their ports as kelvo-info does.")
endif()
include(CPack)
