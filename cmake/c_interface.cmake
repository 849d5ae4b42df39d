# The C interface (src/ffi/, include/quorvel/agent.h): compiled once, linked into the static
# agent library that the tests use and into the shared library libquorvel_agent.so, which exports
# only the quorvel_agent_ functions. Install rules put the shared library, a static archive that
# holds every part of the agent, the header and a pkg-config file in place, so that a host builds
# with `pkg-config --cflags --libs quorvel-agent` (add `--static` for the archive).
include(GNUInstallDirs)

file(GLOB QUORVEL_FFI_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/ffi/*.cpp)
add_library(quorvel_ffi OBJECT ${QUORVEL_FFI_SOURCES})
target_include_directories(quorvel_ffi PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
    ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_link_libraries(quorvel_ffi PUBLIC ${QUORVEL_AGENT_DEPS})
set_target_properties(quorvel_ffi PROPERTIES CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
target_sources(quorvel_agent PRIVATE $<TARGET_OBJECTS:quorvel_ffi>)

add_library(quorvel_agent_shared SHARED $<TARGET_OBJECTS:quorvel_ffi>)
target_link_libraries(quorvel_agent_shared PRIVATE quorvel_agent)
target_include_directories(quorvel_agent_shared INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/include)
set_target_properties(quorvel_agent_shared PROPERTIES
    OUTPUT_NAME quorvel_agent
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/quorvel_agent.map)
target_link_options(quorvel_agent_shared PRIVATE
    -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/cmake/quorvel_agent.map)
# Every symbol the library uses must resolve at its own link, except where clang instruments it:
# clang links the sanitizer and fuzzer runtimes into the executable only, so the library's
# references to them resolve when a program loads it.
set(QUORVEL_CLANG_INSTRUMENTED OFF)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND (QUORVEL_SANITIZE OR QUORVEL_TSAN OR QUORVEL_FUZZ))
    set(QUORVEL_CLANG_INSTRUMENTED ON)
else()
    target_link_options(quorvel_agent_shared PRIVATE -Wl,--no-undefined)
endif()

# A C program on the shared library. Under clang's sanitizers it needs their C++ parts (the
# library's dynamic type checks), which clang links only into a program it links as C++.
function(quorvel_add_c_host target source)
    add_executable(${target} ${source})
    set_target_properties(${target} PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON
        C_EXTENSIONS OFF)
    target_link_libraries(${target} PRIVATE quorvel_agent_shared)
    if(QUORVEL_CLANG_INSTRUMENTED)
        set_target_properties(${target} PROPERTIES LINKER_LANGUAGE CXX)
    endif()
endfunction()

# One archive with the agent and its own helper libraries, for hosts that link statically: it holds
# copies of the objects that those (thin) libraries name.
set(QUORVEL_ARCHIVE ${CMAKE_CURRENT_BINARY_DIR}/dist/libquorvel_agent.a)
set(QUORVEL_ARCHIVE_TARGETS quorvel_agent quorvel_util)
foreach(part quorvel_p2p quorvel_controller_api)
    get_target_property(part_type ${part} TYPE)
    if(part_type STREQUAL "STATIC_LIBRARY")
        list(APPEND QUORVEL_ARCHIVE_TARGETS ${part})
    endif()
endforeach()
set(QUORVEL_ARCHIVE_PARTS)
foreach(part ${QUORVEL_ARCHIVE_TARGETS})
    list(APPEND QUORVEL_ARCHIVE_PARTS $<TARGET_FILE:${part}>)
endforeach()
set(QUORVEL_ARCHIVE_SCRIPT "CREATE ${QUORVEL_ARCHIVE}\n")
foreach(part ${QUORVEL_ARCHIVE_PARTS})
    string(APPEND QUORVEL_ARCHIVE_SCRIPT "ADDLIB ${part}\n")
endforeach()
string(APPEND QUORVEL_ARCHIVE_SCRIPT "SAVE\nEND\n")
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/dist/archive.mri
    CONTENT "${QUORVEL_ARCHIVE_SCRIPT}")
add_custom_command(OUTPUT ${QUORVEL_ARCHIVE}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${QUORVEL_ARCHIVE}
    COMMAND ${CMAKE_COMMAND} -DAR=${CMAKE_AR} -DSCRIPT=${CMAKE_CURRENT_BINARY_DIR}/dist/archive.mri
        -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/combine_archives.cmake
    DEPENDS ${QUORVEL_ARCHIVE_TARGETS} ${CMAKE_CURRENT_BINARY_DIR}/dist/archive.mri
    COMMENT "Combining the agent's static libraries")
add_custom_target(quorvel_agent_archive ALL DEPENDS ${QUORVEL_ARCHIVE})

# The prefix is found from the file's own place, so the installed tree can move.
file(RELATIVE_PATH QUORVEL_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" QUORVEL_PC_TO_PREFIX "${QUORVEL_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/quorvel-agent.pc.in
    ${CMAKE_CURRENT_BINARY_DIR}/dist/quorvel-agent.pc @ONLY)

install(TARGETS quorvel_agent_shared LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${QUORVEL_ARCHIVE} DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/include/quorvel/agent.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvel)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/dist/quorvel-agent.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The example host: C11 against the public header and the shared library only.
option(QUORVEL_EXAMPLES "Build the example host in examples/" ON)
if(QUORVEL_EXAMPLES)
    quorvel_add_c_host(quorvel_host ${CMAKE_CURRENT_SOURCE_DIR}/examples/quorvel_host.c)
    target_link_libraries(quorvel_host PRIVATE Threads::Threads)
endif()

if(QUORVEL_TESTS)
    enable_testing()
    # A host's view: C11, the public header only, the shared library.
    quorvel_add_c_host(quorvel_c_interface_test
        ${CMAKE_CURRENT_SOURCE_DIR}/tests/ffi/c_interface_test.c)
    target_compile_options(quorvel_c_interface_test PRIVATE -pedantic)
    # A host that exits while its agents set up HTTPS connections, run by the test suite.
    quorvel_add_c_host(quorvel_exit_https_host
        ${CMAKE_CURRENT_SOURCE_DIR}/tests/ffi/exit_https_host.c)
    foreach(phase basics config start log_setting paths restart)
        add_test(NAME ffi.c_interface.${phase} COMMAND quorvel_c_interface_test ${phase})
    endforeach()
    add_test(NAME ffi.c_interface.lifecycle COMMAND quorvel_c_interface_test lifecycle tunnel dns status)
    set_tests_properties(ffi.c_interface.basics ffi.c_interface.config ffi.c_interface.start
        ffi.c_interface.lifecycle ffi.c_interface.log_setting ffi.c_interface.paths
        ffi.c_interface.restart PROPERTIES TIMEOUT 120 ENVIRONMENT QUORVEL_LOG=trace)
    set(QUORVEL_HOST_C_FLAGS "")
    if(QUORVEL_SANITIZE)
        set(QUORVEL_HOST_C_FLAGS "-fsanitize=address,undefined")
    elseif(QUORVEL_TSAN)
        set(QUORVEL_HOST_C_FLAGS "-fsanitize=thread")
    endif()
    add_test(NAME ffi.install COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/ffi/install_test.sh
        ${CMAKE_CURRENT_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_C_COMPILER}
        "${QUORVEL_HOST_C_FLAGS}")
    set_tests_properties(ffi.install PROPERTIES TIMEOUT 300)
    if(QUORVEL_EXAMPLES)
        # The main job as the README runs it, on this build's example host: TUN devices in
        # network namespaces where the machine allows them, else socket pairs; and the socket-pair
        # fallback on its own. The script checks the host's output and fails when a step fails.
        add_test(NAME demo.main_job COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/scripts/demo.sh)
        add_test(NAME demo.socketpair COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/scripts/demo.sh)
        set_tests_properties(demo.main_job demo.socketpair PROPERTIES TIMEOUT 300
            ENVIRONMENT "QUORVEL_DEMO_HOST=$<TARGET_FILE:quorvel_host>")
        set_property(TEST demo.socketpair APPEND PROPERTY ENVIRONMENT QUORVEL_DEMO_MODE=socketpair)
        # Where namespaces can be created but no command can run inside one, the demo falls
        # back to socket pairs and says why.
        add_test(NAME demo.netns_exec_refused COMMAND bash
            ${CMAKE_CURRENT_SOURCE_DIR}/tests/support/without_netns_exec.sh
            "== TUN devices in network namespaces are not available: commands cannot run in a network namespace here \\(ip netns exec: \"mount --make-rslave /\" failed"
            bash ${CMAKE_CURRENT_SOURCE_DIR}/scripts/demo.sh)
        set_tests_properties(demo.netns_exec_refused PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77
            ENVIRONMENT "QUORVEL_DEMO_HOST=$<TARGET_FILE:quorvel_host>")
        # The demo waits for an address that a later housekeeping pass brings, and fails with
        # the agent's network status when none comes.
        add_test(NAME demo.late_address COMMAND bash
            ${CMAKE_CURRENT_SOURCE_DIR}/tests/ffi/demo_late_address_test.sh
            $<TARGET_FILE:quorvel_host> ${CMAKE_CURRENT_SOURCE_DIR}/scripts/demo.sh)
        set_tests_properties(demo.late_address PROPERTIES TIMEOUT 300)
        add_test(NAME examples.host_status_on_sigusr1 COMMAND bash
            ${CMAKE_CURRENT_SOURCE_DIR}/tests/ffi/host_status_signal_test.sh
            $<TARGET_FILE:quorvel_host>)
        set_tests_properties(examples.host_status_on_sigusr1 PROPERTIES TIMEOUT 120)
    endif()
    add_test(NAME ffi.exports COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:quorvel_agent_shared>
        -DHEADER=${CMAKE_CURRENT_SOURCE_DIR}/include/quorvel/agent.h -DNM=${CMAKE_NM}
        -P ${CMAKE_CURRENT_SOURCE_DIR}/tests/ffi/check_exports.cmake)
endif()
