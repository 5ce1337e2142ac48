# The real power guard under load: the soak (suspend/resume cycles against
# busy client processes) and the message storm. Sizes by SOAK_CYCLES and
# STORM_MESSAGES in the environment.
add_executable(soak_client ${CMAKE_CURRENT_SOURCE_DIR}/soak_client.cpp)
target_compile_options(soak_client PRIVATE ${WIN_COMMON_FLAGS} -O1)
target_link_options(soak_client PRIVATE -static -municode)

add_windows_test(reliability_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/reliability_test.cpp
    INCLUDES ${POWER_GUARD_DIR}
    LOCK guard COST 40 TIMEOUT 900)
add_dependencies(reliability_tests soak_client ${GUARD_TAGS})
