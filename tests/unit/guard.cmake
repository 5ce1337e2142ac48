# The power guard's routines called directly, compiled with the test seams.
add_windows_test(guard_unit_tests
    SOURCES ${POWER_GUARD_SOURCES}
            ${CMAKE_CURRENT_SOURCE_DIR}/guard_seams.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/guard_trace_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/guard_port_table_test.cpp
    DEFINES GUARD_TEST_SEAMS BUILD_TAG=TAVRIKEN
    INCLUDES ${POWER_GUARD_DIR}
    HARDENED)
