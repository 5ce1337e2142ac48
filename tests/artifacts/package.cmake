# The sample driver packages as files: the guide shows the INF the build
# generates, as it is.
add_test(NAME Package.GuideHoldsTheGeneratedInf
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/docs/guide_copy.py --check
                 ${PROJECT_SOURCE_DIR}/docs/guide.md ${DIST_DIR}/package/TAVRIKEN-HELDRAVO/printer.inf)
# The sample printer's PPD passes cupstestppd with every warning counted as
# an error.
add_test(NAME Package.PpdConforms
         COMMAND cupstestppd -W all ${PROJECT_SOURCE_DIR}/drivers/printer/package/compsmpl.ppd)
