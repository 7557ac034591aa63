# Installs the build into a scratch prefix inside the build tree and checks
# what arrives there: exactly the files a user's machine should receive, a
# desktop entry that validates and points at what was installed, and
# programs that run from where they were installed.
#
#   cmake -D BUILD_DIR=... -D PREFIX=... -D WITH_WINDOW=0|1 -D VERSION=...
#         -D DESKTOP_FILE_VALIDATE=... -P InstallTree.cmake

foreach(var BUILD_DIR PREFIX WITH_WINDOW VERSION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "InstallTree.cmake needs -D ${var}=...")
  endif()
endforeach()

function(fail text)
  file(REMOVE_RECURSE ${PREFIX})
  message(FATAL_ERROR "${text}")
endfunction()

file(REMOVE_RECURSE ${PREFIX})
execute_process(
  COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  fail("cmake --install failed (${result}):\n${output}")
endif()

set(expected
  bin/corvel-setup-cli
  share/doc/corvel-setup/README
  share/man/man1/corvel-setup-cli.1.gz)
if(WITH_WINDOW)
  list(APPEND expected
    bin/corvel-setup
    share/applications/com.tavrin.setup.desktop
    share/icons/hicolor/scalable/apps/com.tavrin.setup.svg)
endif()
list(SORT expected)

file(GLOB_RECURSE found LIST_DIRECTORIES false RELATIVE ${PREFIX} ${PREFIX}/*)
list(SORT found)
if(NOT found STREQUAL expected)
  set(extra ${found})
  list(REMOVE_ITEM extra ${expected})
  set(missing ${expected})
  list(REMOVE_ITEM missing ${found})
  fail("installed tree differs\n  not expected: ${extra}\n  missing: ${missing}")
endif()

# Run from the prefix, not the build tree: nothing may lean on build paths.
execute_process(
  COMMAND ${PREFIX}/bin/corvel-setup-cli --version
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT output MATCHES "^corvel-setup-cli ${VERSION} ")
  fail("installed corvel-setup-cli --version: status ${result}, output:\n${output}")
endif()

execute_process(COMMAND gzip -dc ${PREFIX}/share/man/man1/corvel-setup-cli.1.gz
  OUTPUT_VARIABLE man)
if(NOT man MATCHES "manifest\\\\-url" OR NOT man MATCHES "\\.SH \"?EXIT STATUS")
  fail("the man page lacks the options or the exit statuses:\n${man}")
endif()

if(WITH_WINDOW)
  set(entry ${PREFIX}/share/applications/com.tavrin.setup.desktop)
  if(NOT DESKTOP_FILE_VALIDATE)
    fail("desktop-file-validate not found (scripts/bootstrap installs desktop-file-utils)")
  endif()
  execute_process(
    COMMAND ${DESKTOP_FILE_VALIDATE} ${entry}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    fail("desktop-file-validate rejects the desktop entry:\n${output}")
  endif()
  # A menu entry whose program or icon is not where it says shows up broken.
  file(STRINGS ${entry} exec REGEX "^Exec=")
  file(STRINGS ${entry} icon REGEX "^Icon=")
  string(REGEX REPLACE "^Exec=([^ ]+).*" "\\1" exec "${exec}")
  string(REGEX REPLACE "^Icon=" "" icon "${icon}")
  if(NOT EXISTS ${PREFIX}/bin/${exec})
    fail("the desktop entry starts '${exec}', which is not installed in bin")
  endif()
  if(NOT EXISTS ${PREFIX}/share/icons/hicolor/scalable/apps/${icon}.svg)
    fail("the desktop entry's icon '${icon}' is not installed")
  endif()
endif()

file(REMOVE_RECURSE ${PREFIX})
