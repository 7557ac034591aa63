# Every sentence the user reads has a translation in every catalogue: the
# sources are scanned afresh into a copy of each .ts file, so a sentence added
# to the code without its translation fails here, as does an unfinished entry.
#   -D LUPDATE=... -D LRELEASE=... -D SOURCES=a|b -D TS_FILES=x|y -D WORK=dir
string(REPLACE "|" ";" SOURCES "${SOURCES}")
string(REPLACE "|" ";" TS_FILES "${TS_FILES}")
file(MAKE_DIRECTORY ${WORK})
foreach(ts IN LISTS TS_FILES)
  get_filename_component(name ${ts} NAME)
  configure_file(${ts} ${WORK}/${name} COPYONLY)
  execute_process(COMMAND ${LUPDATE} -no-obsolete -locations none ${SOURCES} -ts ${WORK}/${name}
    RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "lupdate failed on ${name}")
  endif()
  execute_process(COMMAND ${LRELEASE} -verbose ${WORK}/${name} -qm ${WORK}/${name}.qm
    RESULT_VARIABLE status OUTPUT_VARIABLE report ERROR_VARIABLE report)
  message(STATUS "${name}: ${report}")
  if(NOT status EQUAL 0 OR NOT report MATCHES "[(][0-9]+ finished and 0 unfinished[)]"
     OR report MATCHES "untranslated")
    message(FATAL_ERROR "${name} has unfinished or missing translations:\n${report}")
  endif()
endforeach()
