# GoogleTest built from the distribution's sources, for the host or for mingw alike.
set(TALVENOR_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
if(NOT EXISTS ${TALVENOR_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${TALVENOR_GOOGLETEST_SOURCE}: "
                        "run scripts/install-deps.sh (package googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${TALVENOR_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Windows test programs, and GoogleTest with them, are built by the posix thread
# model variant of the compiler: GoogleTest needs std::mutex, which the win32
# model's library lacks. The product keeps the win32 model.
function(talvenor_use_posix_thread_model target)
    if(WIN32)
        set(launcher ${PROJECT_SOURCE_DIR}/scripts/mingw-posix-launcher.sh)
        set_target_properties(${target} PROPERTIES CXX_COMPILER_LAUNCHER ${launcher}
                                                   C_COMPILER_LAUNCHER ${launcher}
                                                   CXX_LINKER_LAUNCHER ${launcher})
    endif()
endfunction()
talvenor_use_posix_thread_model(gtest)
talvenor_use_posix_thread_model(gtest_main)
