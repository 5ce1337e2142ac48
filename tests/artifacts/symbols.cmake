# A second copy of the sources at another path building to the same bytes.
# (Matching PDBs and unwind data are part of the release gate's checks.)
add_test(NAME Symbols.SecondCopyAtAnotherPathBuildsTheSameBytes
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_reproducible.sh
                 ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR} ${SHIPPED_FILES})
set_tests_properties(Symbols.SecondCopyAtAnotherPathBuildsTheSameBytes PROPERTIES TIMEOUT 600 COST 30)
