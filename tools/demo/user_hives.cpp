/*
 * Users for the co-installer to visit: keys made directly under HKEY_USERS
 * stand for loaded hives. Each knows the printer in its "Devices" key and has
 * a "Windows" key whose "Device" value names the user's default printer.
 */
#include <wchar.h>
#include "demo.h"

#define DEVICES_PATH L"%ls\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices"
#define WINDOWS_PATH L"%ls\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows"
#define PATH_UNITS   512

static LONG SetString(const wchar_t *pathFormat, const wchar_t *sid, const wchar_t *name, const wchar_t *value)
{
    wchar_t path[PATH_UNITS];
    HKEY key;
    LONG status;

    _snwprintf(path, PATH_UNITS - 1, pathFormat, sid);
    path[PATH_UNITS - 1] = L'\0';
    status = RegCreateKeyExW(HKEY_USERS, path, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)value, (DWORD)((wcslen(value) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status;
}

int AddDemoUser(const wchar_t *sid, const wchar_t *printer, const wchar_t *devicesValue)
{
    LONG status = SetString(DEVICES_PATH, sid, printer, devicesValue);
    if (status == ERROR_SUCCESS)
        status = SetString(WINDOWS_PATH, sid, L"Device", L"Old Printer,winspool,LPT1:");
    if (status != ERROR_SUCCESS) {
        Notice(L"cannot make the keys of user %ls, error %ld", sid, status);
        return EXIT_FAILED;
    }
    Say(L"user %ls: Devices \"%ls\" = \"%ls\", default printer now \"Old Printer,winspool,LPT1:\"", sid,
        printer, devicesValue);
    return EXIT_OK;
}

int ShowDefaultPrinter(const wchar_t *sid, const wchar_t *expected)
{
    wchar_t path[PATH_UNITS];
    wchar_t value[PATH_UNITS];
    DWORD type = 0, size = sizeof(value) - sizeof(wchar_t);
    HKEY key;
    LONG status;

    _snwprintf(path, PATH_UNITS - 1, WINDOWS_PATH, sid);
    path[PATH_UNITS - 1] = L'\0';
    status = RegOpenKeyExW(HKEY_USERS, path, 0, KEY_QUERY_VALUE, &key);
    if (status == ERROR_SUCCESS) {
        status = RegQueryValueExW(key, L"Device", NULL, &type, (BYTE *)value, &size);
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) {
        Notice(L"HKEY_USERS\\%ls: no \"Device\" value, error %ld", path, status);
        return EXIT_FAILED;
    }
    value[size / sizeof(wchar_t)] = L'\0';
    Say(L"HKEY_USERS\\%ls\n    Device = \"%ls\" (%ls, %lu bytes)", path, value,
        type == REG_SZ ? L"REG_SZ" : L"not REG_SZ", size);
    if (expected && (type != REG_SZ || wcscmp(value, expected) != 0)) {
        Notice(L"expected \"%ls\" as REG_SZ", expected);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

int RemoveDemoUser(const wchar_t *sid)
{
    LONG status = RegDeleteTreeW(HKEY_USERS, sid);
    if (status == ERROR_SUCCESS)
        status = RegDeleteKeyW(HKEY_USERS, sid);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        Notice(L"cannot remove user %ls, error %ld", sid, status);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}
