# Windows test programs run under wine64 in one private prefix per build tree.
# The prefix is created by the fixture test "wine_prefix_setup" and its wineserver
# is stopped by "wine_prefix_stop", so a test run leaves no process behind.

set(TALVENOR_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)

if(TALVENOR_RUN_WINDOWS_TESTS)
    find_program(TALVENOR_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CACHE)
    if(NOT TALVENOR_WINE64)
        message(FATAL_ERROR "The 64-bit Wine loader was not found (neither wine64 on the PATH "
                            "nor /usr/lib/wine/wine64). Install the wine64 package: "
                            "scripts/install-deps.sh")
    endif()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh
        ${TALVENOR_WINE_PREFIX})

    add_test(NAME wine_prefix_setup
             COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh create ${TALVENOR_WINE_PREFIX})
    set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP WinePrefix)
    add_test(NAME wine_prefix_stop
             COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh stop ${TALVENOR_WINE_PREFIX})
    set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP WinePrefix)
endif()

# Builds a GoogleTest program for Windows from the sources given after SOURCES
# and registers it with CTest when this build runs Windows tests. All such
# programs share the prefix and its registry, so they run one at a time.
function(talvenor_add_windows_test name)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "SOURCES;LIBRARIES")
    add_executable(${name} ${ARG_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest_main)
    talvenor_use_posix_thread_model(${name})
    if(TARGET ieTalvenor)
        # Tests load the DLL as a host does, by its path as Wine sees it
        # (drive Z: is the host's root).
        string(REPLACE "/" "\\\\" dll_path "Z:${CMAKE_BINARY_DIR}/module/ieTalvenor.DLL")
        target_compile_definitions(${name} PRIVATE "TALVENOR_DLL_PATH=\"${dll_path}\"")
        add_dependencies(${name} ieTalvenor)
    endif()
    if(TALVENOR_RUN_WINDOWS_TESTS)
        add_test(NAME ${name} COMMAND ${name})
        # Under wine64 a program killed by a stack overflow exits with status 0,
        # so success is read from GoogleTest's closing summary as well.
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED WinePrefix
                             RESOURCE_LOCK WinePrefix TIMEOUT 600
                             PASS_REGULAR_EXPRESSION "\\[  PASSED  \\]"
                             FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
    endif()
endfunction()
