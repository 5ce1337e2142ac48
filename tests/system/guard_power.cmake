# The real power guard with port-client processes: registration and the power
# broadcasts. Same window class and object names as every guard system test.
add_windows_test(guard_power_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/guard_power_test.cpp
    INCLUDES ${POWER_GUARD_DIR}
    LOCK guard COST 20 TIMEOUT 180)
add_dependencies(guard_power_tests port_client ${GUARD_TAGS})

# The stand-in port client alone, and the interface header compiled as C;
# names use tags of their own.
add_windows_test(port_client_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/port_client_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/port_client_header.c
    INCLUDES ${POWER_GUARD_DIR}
    LOCK port_client TIMEOUT 120)
add_dependencies(port_client_tests port_client)
