# The version resource of the six deliverables, read through the platform's
# version API as the shell does.
add_windows_test(version_info_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/version_info_test.cpp
    LIBS version)
add_dependencies(version_info_tests ${GUARD_TAGS} ${COINSTALLER_TAGS})
