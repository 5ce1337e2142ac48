# The power guard programs as files.
add_test(NAME GuardFiles.HeadersImportsAndIcon
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_guard_files.sh ${DIST_DIR} ${GUARD_TAGS})
