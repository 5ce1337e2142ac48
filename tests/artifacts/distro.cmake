# tools/distro's copy of the checkout and its choice of mirror, without a root.
foreach(step copy mirror)
    add_test(NAME Distro.Runner_${step}
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_distro_runner.sh ${PROJECT_SOURCE_DIR} ${step})
endforeach()
