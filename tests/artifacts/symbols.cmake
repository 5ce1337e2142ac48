# What a debugger and a rebuild need of the shipped files: PDBs that match,
# unwind data for every calling routine, clean headers; and a second copy of
# the sources at another path building to the same bytes.
set(SHIPPED_FILES)
foreach(tag ${GUARD_TAGS})
    list(APPEND SHIPPED_FILES ${tag}.exe)
endforeach()
foreach(tag ${COINSTALLER_TAGS})
    list(APPEND SHIPPED_FILES ${tag}.dll)
endforeach()
get_filename_component(LLVM_BIN_DIR ${CMAKE_CXX_COMPILER} DIRECTORY)

add_test(NAME Symbols.PdbsMatchAndEveryCallingRoutineHasUnwindData
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/check_symbols.py
                 ${LLVM_BIN_DIR} ${DIST_DIR} ${SHIPPED_FILES})
add_test(NAME Symbols.SecondCopyAtAnotherPathBuildsTheSameBytes
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_reproducible.sh
                 ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR} ${SHIPPED_FILES})
set_tests_properties(Symbols.SecondCopyAtAnotherPathBuildsTheSameBytes PROPERTIES TIMEOUT 600)
