# Builds one man page: scdoc source in, roff and its gzip -9n copy out.
#   cmake -DSCDOC=... -DGZIP=... -DSOURCE=x.8.scd -DOUTPUT=dir/x.8 -DVERSION=... [-DEPOCH=...]
#         -P build_page.cmake
cmake_minimum_required(VERSION 3.25)  # "@VERSION@" below is text, not a variable reference
file(READ ${SOURCE} text)
string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
file(WRITE ${OUTPUT}.scd "${text}")

# scdoc dates the page from SOURCE_DATE_EPOCH; a fixed date keeps the pages reproducible.
if(EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} ${EPOCH})
endif()
execute_process(COMMAND ${SCDOC} INPUT_FILE ${OUTPUT}.scd OUTPUT_FILE ${OUTPUT}.roff
                RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "scdoc failed on ${SOURCE} (line:column): ${errors}")
endif()

# The title macro switches hyphenation back on, which would break option names and paths at
# the line end: off again after it.
file(READ ${OUTPUT}.roff roff)
string(REGEX REPLACE "\n(\\.TH [^\n]*)\n" "\n\\1\n.nh\n" roff "${roff}")
file(WRITE ${OUTPUT} "${roff}")
file(REMOVE ${OUTPUT}.scd ${OUTPUT}.roff)

# Compressed as Debian ships man pages: no name, no time stamp in the gzip header.
execute_process(COMMAND ${GZIP} -9n -c INPUT_FILE ${OUTPUT} OUTPUT_FILE ${OUTPUT}.gz
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${OUTPUT}")
endif()
