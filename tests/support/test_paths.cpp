/*
 * Where the build's programs are (the harness names the build directory in
 * PRINTER_BUILD_DIR) and a few facts about the platform under the tests.
 */
#include "test_paths.h"

#include <windows.h>

std::wstring BuildDir(void)
{
    wchar_t buf[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"PRINTER_BUILD_DIR", buf, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
        return buf;
    /* Not under CTest: the test programs live in <build>/tests/<kind>/. */
    GetModuleFileNameW(NULL, buf, MAX_PATH);
    std::wstring path(buf);
    for (int up = 0; up < 3; up++) {
        size_t cut = path.find_last_of(L"\\/");
        if (cut == std::wstring::npos)
            break;
        path.resize(cut);
    }
    return path;
}

std::wstring DistPath(const std::wstring &fileName)
{
    return BuildDir() + L"\\dist\\" + fileName;
}

std::wstring ToolPath(const std::wstring &fileName)
{
    return BuildDir() + L"\\tools\\" + fileName;
}

std::wstring TempDirFor(const std::wstring &purpose)
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring dir = std::wstring(base) + L"printer-tests-" + purpose + L"-" +
                       std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount());
    CreateDirectoryW(dir.c_str(), NULL);
    return dir;
}

bool RunningOnWine(void)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

std::wstring Quote(const std::wstring &path)
{
    return L"\"" + path + L"\"";
}
