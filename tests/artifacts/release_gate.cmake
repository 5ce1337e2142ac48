# The release gate (python3 -m toolkit.release_gate) on the shipped files: every
# mitigation, the header fields and size, the PDB match and unwind coverage;
# and on each variant's package INF (the variants pair the tag lists in order).
set(shipped_paths)
foreach(name ${SHIPPED_FILES})
    list(APPEND shipped_paths ${DIST_DIR}/${name})
endforeach()
foreach(guard coinstaller IN ZIP_LISTS GUARD_TAGS COINSTALLER_TAGS)
    list(APPEND shipped_paths ${DIST_DIR}/package/${guard}-${coinstaller}/printer.inf)
endforeach()
add_test(NAME ReleaseGate.PassesEveryShippedFile
         COMMAND ${TOOLKIT} toolkit.release_gate
                 --llvm-bin ${LLVM_BIN_DIR} ${shipped_paths})

# A co-installer built from the same sources without the mitigations and the
# load config, as a build that lost them would make it: the release must
# refuse to sign it and name what it lacks. And a fault planted in a driver
# team's INF (tests/artifacts/team_infs), one rule at a time: the gate names it.
function(add_unhardened_coinstaller tag)
    list(REMOVE_ITEM DELIVERABLE_COMPILE_FLAGS ${HARDENING_COMPILE_FLAGS})
    list(REMOVE_ITEM DELIVERABLE_LINK_FLAGS ${HARDENING_LINK_FLAGS})
    set(HARDENING_LIBRARIES)
    set(COINSTALLER_RESOURCES ${COINSTALLER_DIR}/coinstaller.rc)
    set(COINSTALLER_DEF_TEMPLATE ${COINSTALLER_DIR}/coinstaller.def.in)
    set(DIST_DIR ${CMAKE_CURRENT_BINARY_DIR}/unhardened)
    add_coinstaller(${tag})
endfunction()
add_unhardened_coinstaller(UNHARDEN)
add_test(NAME ReleaseGate.ReleaseRefusesAFileWithoutTheMitigations
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_release_gate.sh
                 ${PROJECT_SOURCE_DIR} ${DIST_DIR} ${CMAKE_CURRENT_BINARY_DIR}/unhardened/UNHARDEN.dll)
set_tests_properties(ReleaseGate.ReleaseRefusesAFileWithoutTheMitigations PROPERTIES COST 6)

# The catalog tool on a copy of a shipped package: the gate passes its
# catalog, osslsigncode finds the binaries in it once signed and refuses a
# changed one; the tool refuses an INF without a catalog or a missing file.
# The teams' INFs, written from Microsoft's examples, pass once cataloged.
add_test(NAME ReleaseGate.CatalogMadeSignedAndChecked
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_catalog.sh ${PROJECT_SOURCE_DIR} ${DIST_DIR})
