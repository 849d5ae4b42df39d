# Checks that the shared library exports exactly the C interface's functions: every one of them,
# and nothing else of its own. Run with -DLIBRARY=<path> -DHEADER=<path> -DNM=<nm>.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols
    RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[0-9a-f]+ [A-Za-z] [^\n]+" lines "${symbols}")
set(exported)
foreach(line ${lines})
    string(REGEX REPLACE "^[0-9a-f]+ ([A-Za-z]) (.+)$" "\\1;\\2" parts "${line}")
    list(GET parts 0 kind)
    list(GET parts 1 name)
    # Code and data of the library's own; versioned markers (A) are not symbols of the library.
    if(kind MATCHES "^[TDBR]$")
        list(APPEND exported ${name})
    endif()
endforeach()
list(SORT exported)

file(READ ${HEADER} header)
string(REGEX MATCHALL "quorvel_agent_[a-z_]+\\(" declared "${header}")
list(TRANSFORM declared REPLACE "\\($" "")
list(REMOVE_DUPLICATES declared)
list(SORT declared)

list(LENGTH declared declared_count)
if(NOT declared_count EQUAL 26)
    message(FATAL_ERROR "the header declares ${declared_count} functions, not 26: ${declared}")
endif()
if(NOT exported STREQUAL declared)
    message(FATAL_ERROR "exported: ${exported}\ndeclared: ${declared}")
endif()
message(STATUS "exactly the ${declared_count} declared functions are exported")
