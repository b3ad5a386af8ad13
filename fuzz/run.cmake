# Fuzzes one target for SECONDS, with its FLAGS, from the seeds in CORPUS; new inputs and
# findings go to WORK, which starts empty, so that the committed corpus stays as it is.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus)
execute_process(COMMAND ${TARGET} -max_total_time=${SECONDS} -timeout=10 -print_final_stats=1 ${FLAGS}
                        -artifact_prefix=${WORK}/ ${WORK}/corpus ${CORPUS}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${TARGET} found a fault (status ${result}); the input is in ${WORK}")
endif()
