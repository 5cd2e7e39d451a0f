# The 32-bit build's Windows test programs run in the test guest: a Debian
# machine under QEMU with a real 32-bit Wine and a WoW64 prefix
# (scripts/guest/). "guest_start" builds or reuses the cached image and boots
# it, "guest_stop" powers it off; in between every test program is a job of
# that one guest, run with CTest's emulator hook. The source and build trees
# are shared with the guest under their own paths, so the programs find the
# DLL under the same Z: path as under wine64.

set(TALVENOR_GUEST_STATE ${CMAKE_BINARY_DIR}/guest)
set(TALVENOR_GUEST ${CMAKE_SOURCE_DIR}/scripts/guest/guest.sh)
# The 64-bit build, which the checks of a WoW64 machine use beside this one.
set(TALVENOR_WIN64_BUILD_DIR ${CMAKE_SOURCE_DIR}/build/win64
    CACHE PATH "Build tree of the win64 preset")

foreach(tool qemu-system-x86_64 debootstrap mke2fs)
    find_program(found_${tool} ${tool} NO_CACHE)
    if(NOT found_${tool})
        message(FATAL_ERROR "${tool} was not found; the 32-bit tests run in a QEMU guest: "
                            "scripts/install-deps.sh --guest")
    endif()
endforeach()

set(CMAKE_CROSSCOMPILING_EMULATOR ${TALVENOR_GUEST} run ${TALVENOR_GUEST_STATE})
# The guest stops a program at 600 s; the margin lets its answer arrive.
set(TALVENOR_WINDOWS_TEST_TIMEOUT 720)

add_test(NAME guest_start
         COMMAND ${TALVENOR_GUEST} start ${TALVENOR_GUEST_STATE} ${CMAKE_SOURCE_DIR}
                 ${CMAKE_BINARY_DIR} ${TALVENOR_WIN64_BUILD_DIR})
# A fresh machine builds the image first (7 to 14 minutes; guest.sh stops the
# build at 2,000 s), then boots it (at most 300 s).
set_tests_properties(guest_start PROPERTIES FIXTURES_SETUP WinePrefix TIMEOUT 2400)
add_test(NAME guest_stop COMMAND ${TALVENOR_GUEST} stop ${TALVENOR_GUEST_STATE})
set_tests_properties(guest_stop PROPERTIES FIXTURES_CLEANUP WinePrefix TIMEOUT 120)

# The harness's own tests (tests/guest/): deleting folders with mounts inside
# and the image build's failures need no guest; the others run in the guest of
# the Windows tests.
set(TALVENOR_GUEST_TESTS ${CMAKE_SOURCE_DIR}/tests/guest)
set(TALVENOR_GUEST_SCRATCH ${CMAKE_BINARY_DIR}/guest-tests)
add_test(NAME guest_remove_tree COMMAND ${TALVENOR_GUEST_TESTS}/remove_tree_test.sh
                                        ${TALVENOR_GUEST_SCRATCH}/remove-tree)
add_test(NAME guest_image_build_failures COMMAND ${TALVENOR_GUEST_TESTS}/image_build_test.sh
                                                 ${TALVENOR_GUEST_SCRATCH}/image-build)
set_tests_properties(guest_remove_tree guest_image_build_failures PROPERTIES TIMEOUT 120)
foreach(test win32_prefix queued_job)
    add_test(NAME guest_${test}
             COMMAND ${TALVENOR_GUEST_TESTS}/${test}_test.sh ${TALVENOR_GUEST}
                     ${TALVENOR_GUEST_STATE} ${TALVENOR_GUEST_SCRATCH}/${test})
    set_tests_properties(guest_${test} PROPERTIES FIXTURES_REQUIRED WinePrefix
                         RESOURCE_LOCK WinePrefix TIMEOUT 720)
endforeach()
