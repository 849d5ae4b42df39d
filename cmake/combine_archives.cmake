# Runs an `ar -M` script (-DAR=... -DSCRIPT=...): combines static libraries into one archive.
execute_process(COMMAND ${AR} -M INPUT_FILE ${SCRIPT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${AR} -M failed on ${SCRIPT}")
endif()
