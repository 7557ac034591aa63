# What `cmake --install` puts on a machine. Included after the front-ends are
# defined: the window and what belongs to it (desktop entry, icon) come along
# only when it is built.
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
