# Run at build time by linecard_add_test_rows: lists a QtTest program's test
# functions and data rows (its -datatags output) and writes a CTest file
# with one test for each, so that long tables of end-to-end rows run in
# parallel and a failing row is named on its own.
#
# Variables: PROGRAM, NAME (the tests' name prefix), OUTPUT, LABEL, EMULATOR
# (a cross-compiling emulator, may be empty), ENVIRONMENT (a list,
# separated by |), LONG (a regular expression: rows that take long, started
# first).
string(REPLACE "|" ";" environment "${ENVIRONMENT}")
set(env ${environment} QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0)
execute_process(COMMAND ${CMAKE_COMMAND} -E env ${env} ${EMULATOR} ${PROGRAM} -datatags
                OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} -datatags failed (${status}): ${errors}")
endif()
# A Windows program ends its lines with CR LF.
string(REPLACE "\r" "" listing "${listing}")

# A ; inside a row name would split CMake's lists.
string(REPLACE ";" "<semicolon>" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
set(content "# Written by DiscoverRows.cmake from ${PROGRAM} -datatags\n")
foreach(line IN LISTS lines)
    string(REPLACE "<semicolon>" ";" line "${line}")
    if(NOT line MATCHES "^([^ ]+) ([^ ]+)( (.*))?$")
        continue()
    endif()
    set(function "${CMAKE_MATCH_2}")
    set(tag "${CMAKE_MATCH_4}")
    if(tag STREQUAL "")
        set(test "${NAME}:${function}")
        set(argument "${function}")
    else()
        set(test "${NAME}:${function}:${tag}")
        set(argument "${function}:${tag}")
    endif()
    set(cost 1)
    if(NOT LONG STREQUAL "" AND test MATCHES "${LONG}")
        set(cost 100)
    endif()
    string(APPEND content
           "add_test([==[${test}]==] ${EMULATOR} [==[${PROGRAM}]==] [==[${argument}]==])\n"
           "set_tests_properties([==[${test}]==] PROPERTIES LABELS ${LABEL} COST ${cost}"
           " ENVIRONMENT [==[${environment}]==])\n")
endforeach()
file(WRITE "${OUTPUT}" "${content}")
