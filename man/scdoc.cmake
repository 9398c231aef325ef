# Turns one scdoc page into roff.
# Arguments: SCDOC, SOURCE, OUTPUT.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_VARIABLE roff RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "scdoc failed on ${SOURCE}")
endif()
# Function names and log texts must read exactly as they are, not broken by a
# hyphen at the end of a line. scdoc turns hyphenation off before .TH, which
# turns it back on: turn it off again after.
string(REGEX REPLACE "\n(\\.TH [^\n]*)\n" "\n\\1\n.nh\n" roff "${roff}")
file(WRITE ${OUTPUT} "${roff}")
