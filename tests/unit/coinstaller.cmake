# The co-installer's routines called directly, compiled with the test seams.
# They make a printer device, queues and HKEY_USERS keys: the spooler lock.
add_windows_test(coinstaller_unit_tests
    SOURCES ${COINSTALLER_SOURCES}
            ${CMAKE_CURRENT_SOURCE_DIR}/coinstaller_seams.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/coinstaller_entry_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/coinstaller_procedure_test.cpp
    DEFINES COINSTALLER_TEST_SEAMS BUILD_TAG=HELDRAVO
    INCLUDES ${COINSTALLER_DIR}
    HARDENED
    LIBS setupapi winspool advapi32 user32
    LOCK spooler devices TIMEOUT 120)
