# The real co-installer DLLs under the stand-in device installer and under
# SetupAPI itself. They touch the spooler, HKEY_USERS and CoDeviceInstallers.
add_windows_test(coinstaller_system_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/coinstaller_system_test.cpp
    LOCK spooler TIMEOUT 180)
add_dependencies(coinstaller_system_tests device_installer deliverables)
