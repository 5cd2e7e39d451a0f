# Windows test programs run in one private Wine prefix per build tree: the
# 64-bit build's under wine64 on this machine, the 32-bit build's in the test
# guest (cmake/Guest.cmake), since this machine cannot execute 32-bit code.
# The fixture "WinePrefix" makes the prefix ready and stops it at the end, so
# a test run leaves no process behind.

if(TALVENOR_RUN_WINDOWS_TESTS AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    include(${CMAKE_CURRENT_LIST_DIR}/Guest.cmake)
elseif(TALVENOR_RUN_WINDOWS_TESTS)
    set(TALVENOR_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    find_program(TALVENOR_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CACHE)
    if(NOT TALVENOR_WINE64)
        message(FATAL_ERROR "The 64-bit Wine loader was not found (neither wine64 on the PATH "
                            "nor /usr/lib/wine/wine64). Install the wine64 package: "
                            "scripts/install-deps.sh")
    endif()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh
        ${TALVENOR_WINE_PREFIX})
    set(TALVENOR_WINDOWS_TEST_TIMEOUT 600)

    add_test(NAME wine_prefix_setup
             COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh create ${TALVENOR_WINE_PREFIX})
    set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP WinePrefix)
    add_test(NAME wine_prefix_stop
             COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh stop ${TALVENOR_WINE_PREFIX})
    set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP WinePrefix)
endif()

# Builds a GoogleTest program for Windows from the sources given after SOURCES
# and registers it with CTest when this build runs Windows tests, unless
# OWN_TEST_ENTRIES says that the caller registers its runs itself. All such
# programs share the prefix and its registry, so they run one at a time.
function(talvenor_add_windows_test name)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "OWN_TEST_ENTRIES" "" "SOURCES;LIBRARIES")
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
    if(TALVENOR_RUN_WINDOWS_TESTS AND NOT ARG_OWN_TEST_ENTRIES)
        add_test(NAME ${name} COMMAND ${name})
        talvenor_windows_test_properties(${name})
    endif()
endfunction()

# Under Wine a program killed by a stack overflow exits with status 0, so
# success is read from GoogleTest's closing summary as well.
function(talvenor_windows_test_properties test)
    set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED WinePrefix
                         RESOURCE_LOCK WinePrefix TIMEOUT ${TALVENOR_WINDOWS_TEST_TIMEOUT}
                         PASS_REGULAR_EXPRESSION "\\[  PASSED  \\]"
                         FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
endfunction()
