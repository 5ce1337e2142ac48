# Stack walks of the shipped binaries with their PDBs, as a debugger takes
# them: the real guard (same window class and object names as every guard
# system test), and the co-installer loaded into a test program. One program
# each: the symbol handler is set up once per process under test.
add_windows_test(guard_stack_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/guard_stack_test.cpp
    INCLUDES ${POWER_GUARD_DIR}
    LOCK guard TIMEOUT 120)
add_dependencies(guard_stack_tests port_client deliverables)

add_windows_test(coinstaller_stack_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/coinstaller_stack_test.cpp
    TIMEOUT 120)
add_dependencies(coinstaller_stack_tests deliverables)
