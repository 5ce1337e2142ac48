# Runs first, before any other Windows test: removes what an interrupted or
# failed earlier run left on the machine (devices, INF copies, the package's
# files and values, queues, running guards), so that it fails no test now.
add_windows_test(clean_machine_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/clean_machine_test.cpp
    CLEAN_MACHINE TIMEOUT 300)
add_dependencies(clean_machine_tests device_installer)
