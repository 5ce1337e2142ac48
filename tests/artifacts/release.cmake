# The signed release and its symbol store. One fixture makes releases into
# <build>/test-release with tools/release (signed through SIGNING_PFX with a
# certificate it makes, and test-signed); the checks read them as files and
# through dbghelp under Wine.
add_test(NAME Release.Make
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/release_setup.sh ${PROJECT_SOURCE_DIR} ${DIST_DIR} ${CMAKE_BINARY_DIR})
add_test(NAME Release.SignaturesSignerAndPassword
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_release_signing.sh ${DIST_DIR} ${CMAKE_BINARY_DIR})
add_test(NAME Release.StoreLayoutChecksumsAndZip
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_release_store.sh ${PROJECT_SOURCE_DIR} ${DIST_DIR} ${CMAKE_BINARY_DIR})
set_tests_properties(Release.Make PROPERTIES FIXTURES_SETUP release TIMEOUT 300 COST 25)
set_tests_properties(Release.SignaturesSignerAndPassword Release.StoreLayoutChecksumsAndZip
                     PROPERTIES FIXTURES_REQUIRED release TIMEOUT 300)

add_windows_test(release_symbols_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/release_symbols_test.cpp
    LIBS dbghelp)
add_dependencies(release_symbols_tests ${GUARD_TAGS} ${COINSTALLER_TAGS})
# The discovered cases are known only at test time: they get the fixture then.
set(release_fixture_file ${CMAKE_CURRENT_BINARY_DIR}/release_symbols_tests_fixture.cmake)
file(WRITE ${release_fixture_file}
     "if(release_symbols_tests_TESTS)\n"
     "    set_tests_properties(\${release_symbols_tests_TESTS} PROPERTIES FIXTURES_REQUIRED release)\n"
     "endif()\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${release_fixture_file})
