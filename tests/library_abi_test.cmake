# The shared object's face to the world: it exports exactly the names of the
# version script MAP (no C++ symbol, no helper, no internal state), is named
# libmarlclient.so.1 with its development link beside it, and needs nothing
# but libcmnHal.so.1 and libc.
# Arguments: LIBRARY, NM, READELF, MAP.
cmake_minimum_required(VERSION 3.25)
file(READ ${MAP} map)
string(REPLACE ";" "" map "${map}")
string(REGEX REPLACE ".*global:(.*)local:.*" "\\1" map "${map}")
string(REGEX MATCHALL "[a-zA-Z_]+" expected "${map}")
execute_process(COMMAND ${NM} -D --defined-only --format=just-symbols ${LIBRARY} OUTPUT_VARIABLE exported COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+" exported "${exported}")
list(SORT exported)
list(SORT expected)
execute_process(COMMAND ${READELF} -d ${LIBRARY} OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]]+\\]" needed "${dynamic}")
list(TRANSFORM needed REPLACE ".*\\[(.+)\\]" "\\1")
get_filename_component(dir ${LIBRARY} DIRECTORY)
if(NOT exported STREQUAL expected OR NOT needed STREQUAL "libcmnHal.so.1;libc.so.6"
   OR NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[libmarlclient\\.so\\.1\\]" OR NOT EXISTS ${dir}/libmarlclient.so)
    message(FATAL_ERROR "exports: ${exported} (expected ${expected}); NEEDED: ${needed}\n${dynamic}")
endif()
message(STATUS "exports: ${exported}; NEEDED: ${needed}")
