# The mitigations at work: a program built like the deliverables (their flags
# and load config) overruns a local buffer; the co-installers, loaded, have a
# cookie the loader made random.
add_executable(stack_overrun_child ${CMAKE_CURRENT_SOURCE_DIR}/stack_overrun_child.cpp)
target_compile_options(stack_overrun_child PRIVATE ${DELIVERABLE_COMPILE_FLAGS})
target_link_options(stack_overrun_child PRIVATE ${DELIVERABLE_LINK_FLAGS} -municode)
target_link_libraries(stack_overrun_child PRIVATE ${HARDENING_LIBRARIES})

add_windows_test(hardening_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/hardening_test.cpp)
add_dependencies(hardening_tests stack_overrun_child ${COINSTALLER_TAGS})
