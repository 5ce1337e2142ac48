# The co-installer's procedure fed seeded random configurations, built with
# seams of its own: guarded global-memory blocks and a printer list from the
# test. It makes a printer device and HKEY_USERS keys: the spooler lock.
add_windows_test(coinstaller_fuzz_tests
    SOURCES ${COINSTALLER_SOURCES}
            ${CMAKE_CURRENT_SOURCE_DIR}/coinstaller_fuzz_seams.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/coinstaller_fuzz_test.cpp
    DEFINES COINSTALLER_TEST_SEAMS BUILD_TAG=HELDRAVO
    INCLUDES ${COINSTALLER_DIR}
    HARDENED
    LIBS setupapi winspool advapi32 user32
    LOCK spooler devices COST 8 TIMEOUT 300)
