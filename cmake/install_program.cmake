# Run by the install rules of each program (gw_program), once per component:
#   GW_PART "tools":  strips the installed program as Debian strips its own (no symbols, no
#                     debug information, no compiler notes); its build ID stays.
#   GW_PART "dbgsym": installs the debug information of the built program as
#                     lib/debug/.build-id/<first two hex digits>/<the rest>.debug, where gdb
#                     looks for it by the build ID of the stripped program.
# Also given: GW_FILE (the built program), GW_NAME, GW_BINDIR, GW_STRIP, GW_OBJCOPY, GW_READELF,
# GW_WORK (a folder of the build tree).
if(GW_PART STREQUAL "tools")
  execute_process(COMMAND ${GW_STRIP} --remove-section=.comment --remove-section=.note
                          $ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${GW_BINDIR}/${GW_NAME}
                  COMMAND_ERROR_IS_FATAL ANY)
  return()
endif()

execute_process(COMMAND ${GW_READELF} -n ${GW_FILE} OUTPUT_VARIABLE gw_notes
                COMMAND_ERROR_IS_FATAL ANY)
if(NOT gw_notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
  message(FATAL_ERROR "${GW_FILE} has no build ID")
endif()
set(gw_dir ${GW_WORK}/${GW_NAME})
file(REMOVE_RECURSE ${gw_dir})
file(MAKE_DIRECTORY ${gw_dir})
set(gw_debug ${gw_dir}/${CMAKE_MATCH_2}.debug)
execute_process(COMMAND ${GW_OBJCOPY} --only-keep-debug --compress-debug-sections ${GW_FILE}
                        ${gw_debug} COMMAND_ERROR_IS_FATAL ANY)
# file(INSTALL) puts DESTDIR in front itself.
file(INSTALL ${gw_debug} DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/debug/.build-id/${CMAKE_MATCH_1})
