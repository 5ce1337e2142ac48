# The trace viewer on the session's and the global debug-output channel, against
# the real guard (its window class and objects), the global writer and writers in
# the test itself.
add_windows_test(trace_viewer_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/trace_viewer_test.cpp
    INCLUDES ${POWER_GUARD_DIR}
    LOCK guard SERIAL TIMEOUT 300)
add_dependencies(trace_viewer_tests trace_viewer global_writer ${GUARD_TAGS})
