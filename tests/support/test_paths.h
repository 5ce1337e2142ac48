/*
 * Test support: where the build's programs are, and where the platform is.
 */
#ifndef TEST_PATHS_H
#define TEST_PATHS_H

#include <string>

std::wstring BuildDir(void);                            /* PRINTER_BUILD_DIR */
std::wstring DistPath(const std::wstring &fileName);    /* <build>/dist/<file> */
std::wstring ToolPath(const std::wstring &fileName);    /* <build>/tools/<file> */
std::wstring TempDirFor(const std::wstring &purpose);   /* a fresh, empty folder */
bool RunningOnWine(void);
std::wstring Quote(const std::wstring &path);

#endif /* TEST_PATHS_H */
