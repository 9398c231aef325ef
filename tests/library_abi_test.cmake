# Checks the shared object's face to the world: it exports exactly EXPORTS
# (no C++ symbol, no helper, no internal state), is named libmarlclient.so.1,
# has its development link beside it, and needs nothing but ALLOWED_NEEDED.
# Arguments: LIBRARY, NM, READELF, EXPORTS, ALLOWED_NEEDED.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
    OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(exported)
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
    list(APPEND exported ${name})
endforeach()
list(SORT exported)
set(expected ${EXPORTS})
list(SORT expected)
if(NOT exported STREQUAL expected)
    message(FATAL_ERROR "exports differ.\n  expected: ${expected}\n  found:    ${exported}")
endif()

execute_process(COMMAND ${READELF} -d ${LIBRARY} OUTPUT_VARIABLE dynamic)
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]]+\\]" needed_lines "${dynamic}")
foreach(line IN LISTS needed_lines)
    string(REGEX REPLACE ".*\\[([^]]+)\\]" "\\1" needed "${line}")
    if(NOT needed IN_LIST ALLOWED_NEEDED)
        message(FATAL_ERROR "unexpected runtime dependency: ${needed}")
    endif()
endforeach()
if(NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[libmarlclient\\.so\\.1\\]")
    message(FATAL_ERROR "SONAME is not libmarlclient.so.1:\n${dynamic}")
endif()

get_filename_component(dir ${LIBRARY} DIRECTORY)
foreach(link libmarlclient.so libmarlclient.so.1)
    if(NOT EXISTS ${dir}/${link})
        message(FATAL_ERROR "missing ${dir}/${link}")
    endif()
endforeach()
message(STATUS "exports: ${exported}; needed: ${needed_lines}")
