# Writes the source revision header at build time. Run as a script:
#   cmake -DSOURCE_DIR=... -DOUTPUT=... -P version_info.cmake
# The header is rewritten only when the revision or the dirty flag changed, so an unchanged tree
# does not recompile. The build time comes from build_stamp.cmake, taken at every build of the
# library.
set(commit "0000000")
set(dirty "false")
find_package(Git QUIET)
if(GIT_FOUND)
    execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --short=7 HEAD
        WORKING_DIRECTORY "${SOURCE_DIR}" OUTPUT_VARIABLE out RESULT_VARIABLE rc
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(rc EQUAL 0 AND out MATCHES "^[0-9a-f]+$")
        string(SUBSTRING "${out}" 0 7 commit)
        execute_process(COMMAND "${GIT_EXECUTABLE}" status --porcelain --untracked-files=no
            WORKING_DIRECTORY "${SOURCE_DIR}" OUTPUT_VARIABLE status RESULT_VARIABLE rc
            OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(rc EQUAL 0 AND NOT status STREQUAL "")
            set(dirty "true")
        endif()
    endif()
endif()

set(identity "${commit} ${dirty}")
set(previous "")
if(EXISTS "${OUTPUT}")
    file(STRINGS "${OUTPUT}" previous_lines REGEX "^// identity: ")
    if(previous_lines)
        string(REGEX REPLACE "^// identity: " "" previous "${previous_lines}")
    endif()
endif()
if(NOT previous STREQUAL identity)
    file(WRITE "${OUTPUT}" "// Generated at build time; do not edit.
// identity: ${identity}
#pragma once
#define QUORVEL_GIT_COMMIT \"${commit}\"
#define QUORVEL_GIT_DIRTY \"${dirty}\"
")
endif()
