# The real co-installer DLLs under the stand-in device installer and under
# SetupAPI itself. They touch the spooler, HKEY_USERS and CoDeviceInstallers.
# With them, co-installers that misbehave, for the device installer's tests.
add_library(test_coinstallers SHARED ${CMAKE_CURRENT_SOURCE_DIR}/test_coinstallers.c)
set_target_properties(test_coinstallers PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
add_windows_test(coinstaller_system_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/coinstaller_system_test.cpp
    LOCK spooler devices TIMEOUT 180)
add_dependencies(coinstaller_system_tests device_installer deliverables test_coinstallers)
