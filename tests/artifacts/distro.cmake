# tools/distro's copy of the checkout, without a root.
foreach(step copy)
    add_test(NAME Distro.Runner_${step}
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_distro_runner.sh ${PROJECT_SOURCE_DIR} ${step})
endforeach()
