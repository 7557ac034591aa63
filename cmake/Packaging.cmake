# What `cmake --install` puts on a machine, and the Debian package made of it.
# Included after the front-ends are defined: the window and what belongs to
# it (desktop entry, icon, the CJK font) come along only when it is built.
include(GNUInstallDirs)

set(CORVEL_APP_ID com.tavrin.setup)
set(CORVEL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/corvel-setup)

install(TARGETS corvel-setup-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET corvel-setup)
  install(TARGETS corvel-setup RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES resources/${CORVEL_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES resources/${CORVEL_APP_ID}.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
install(FILES README.md DESTINATION ${CORVEL_DOC_DIR} RENAME README)

# The man page is written from the program's own --help, so it cannot drift
# from the options; the sections --help has no room for come from the .h2m.
# Compressed as Debian policy asks; man reads it the same way.
find_program(HELP2MAN help2man REQUIRED)
set(CORVEL_CLI_MAN ${CMAKE_BINARY_DIR}/man/corvel-setup-cli.1)
add_custom_command(
  OUTPUT ${CORVEL_CLI_MAN}.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
  COMMAND ${HELP2MAN} --no-info --section=1
    "--name=install the Corvel application and its model data without a window"
    --version-string=${PROJECT_VERSION}
    --include=${CMAKE_SOURCE_DIR}/packaging/corvel-setup-cli.h2m
    --output=${CORVEL_CLI_MAN} $<TARGET_FILE:corvel-setup-cli>
  COMMAND gzip -9nf ${CORVEL_CLI_MAN}
  DEPENDS corvel-setup-cli ${CMAKE_SOURCE_DIR}/packaging/corvel-setup-cli.h2m
  COMMENT "Writing the corvel-setup-cli man page"
  VERBATIM)
add_custom_target(corvel-man ALL DEPENDS ${CORVEL_CLI_MAN}.gz)
install(FILES ${CORVEL_CLI_MAN}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Installing copies what the front-ends built; it never builds the tests and
# benchmarks first just to package two programs.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# ---- Debian package -------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvel-setup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Corvel setup developers <setup@corvel.app>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARGET corvel-setup)
  # The window's Chinese text needs a CJK font that no library pulls in.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS fonts-wqy-microhei)
  # Native on a Wayland desktop; without it Qt falls back to X11 (XWayland).
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
  set(_corvel_front_ends "a window, corvel-setup, started from the application\n"
    "menu, and a command-line front-end, corvel-setup-cli, for terminals and\n"
    "scripts.")
else()
  set(_corvel_front_ends "a command-line front-end, corvel-setup-cli, for\n"
    "terminals and scripts.")
endif()
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "setup program for the Corvel application and its model data\n"
  "Fetches the resource manifest, downloads the Corvel application and the\n"
  "local model data it needs (resumable, verified by SHA-256), installs them\n"
  "into the user's home directory and starts the application.\n"
  "\n"
  "This package installs " ${_corvel_front_ends})

# Debian policy wants a copyright file and a changelog in every binary
# package; they belong to the package, not to a plain `cmake --install`.
string(TIMESTAMP CORVEL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP CORVEL_COPYRIGHT_YEAR "%Y" UTC)
configure_file(packaging/debian/copyright.in ${CMAKE_BINARY_DIR}/debian/copyright @ONLY)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
configure_file(packaging/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
execute_process(
  COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/debian/changelog
  COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_BINARY_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
  DESTINATION ${CORVEL_DOC_DIR} COMPONENT debian EXCLUDE_FROM_ALL)
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/"
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};debian;/")

include(CPack)
