# The port and power handlers of the power guard called directly, with the
# test-only seams. Real named mutexes are made under a tag of their own.
add_windows_test(guard_handler_tests
    SOURCES ${POWER_GUARD_SOURCES}
            ${CMAKE_CURRENT_SOURCE_DIR}/guard_seams.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/guard_registration_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/guard_power_events_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/guard_window_test.cpp
    DEFINES GUARD_TEST_SEAMS BUILD_TAG=UNITGARD
    INCLUDES ${POWER_GUARD_DIR}
    HARDENED
    LOCK unitguard TIMEOUT 120)
