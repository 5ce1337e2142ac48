# The printer co-installer DLLs as files.
add_test(NAME CoinstallerFiles.HeadersExportAndImports
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_coinstaller_files.sh ${DIST_DIR} ${COINSTALLER_TAGS})
