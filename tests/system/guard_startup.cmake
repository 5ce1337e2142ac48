# The real power guard programs: start-up, single instance, window, close.
add_windows_test(guard_startup_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/guard_startup_test.cpp
    INCLUDES ${POWER_GUARD_DIR}
    LOCK guard TIMEOUT 120)
