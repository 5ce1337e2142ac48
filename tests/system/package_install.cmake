# A sample driver package installed from its INF by the stand-in device
# installer through SetupAPI: the spooler, HKEY_USERS and ROOT\PRINTER devices
# as the co-installer tests, and the guard's window class and objects.
add_windows_test(package_install_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/package_install_test.cpp
    LIBS wintrust crypt32 bcrypt
    LOCK spooler guard devices TIMEOUT 300)
add_dependencies(package_install_tests device_installer deliverables test_coinstallers)
