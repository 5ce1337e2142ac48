/*
 * Second half of the default-printer procedure: in every hive loaded under
 * HKEY_USERS that knows the found printer, the user's "Device" value is set
 * to the printer's name, a comma and its entry in that hive's "Devices" key.
 */
#include "coinstaller.h"

static const wchar_t g_devicesPath[] = L"%s\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
static const wchar_t g_windowsPath[] = L"%s\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

/* The key path of one hive: the format under HKEY_USERS with the user key
   name, or, with none, the same path without it (under HKEY_CURRENT_USER). */
static DWORD FormatHiveKeyPath(wchar_t *strPath, const wchar_t *format, const wchar_t *strUserKey)
{
    ZeroMemory(strPath, NAME_UNITS * sizeof(wchar_t));
    if (strUserKey != NULL)
        return FormatKeyPath(strPath, NAME_UNITS, format, strUserKey);
    lstrcpyW(strPath, format + 3);   /* past the leading "%s\\" */
    return NO_ERROR;
}

/* Walks every subkey of HKEY_USERS; a hive that does not know the printer is
   skipped by the failure of GetFullPrinterName. Only a failure to enumerate,
   the normal end of the list included, ends the walk. */
void SetDefaultPrinterForAllUsers(const wchar_t *strPrinter, HKEY *phUsersKey)
{
    HKEY hUsersKey = NULL;
    wchar_t strUserKey[NAME_UNITS];
    wchar_t strFullPrinterName[NAME_UNITS];
    FILETIME lastWrite;
    DWORD nameLength;
    DWORD index;
    DWORD status;

    status = RegOpenKeyExW(HKEY_USERS, NULL, 0, KEY_ENUMERATE_SUB_KEYS, &hUsersKey);
    if (status != ERROR_SUCCESS) {
        DebugTrace(L"RegOpenKeyEx(HKEY_USERS) : failed. GetLastError() = %d\n", status);
        hUsersKey = NULL;
    }
    for (index = 0; hUsersKey != NULL; index++) {
        nameLength = NAME_UNITS;
        status = RegEnumKeyExW(hUsersKey, index, strUserKey, &nameLength, NULL, NULL, NULL, &lastWrite);
        if (status != ERROR_SUCCESS) {
            DebugTrace(L"RegEnumKeyEx(%d) : failed. GetLastError() = %d\n", index, status);
            break;
        }
        DebugTrace(L"%s\n===========================================\n", strUserKey);
        if (GetFullPrinterName(strFullPrinterName, strPrinter, strUserKey) == NO_ERROR) {
            DebugTrace(L"%s\n", strFullPrinterName);
            SetDefaultPrinterInRegistry(strFullPrinterName, strUserKey);
        }
        DebugTrace(L"\n");
    }

    if (phUsersKey != NULL)
        *phUsersKey = hUsersKey;
    else if (hUsersKey != NULL)
        RegCloseKey(hUsersKey);
}

/* Composes "<printer>,<value of the printer in the hive's Devices key>" in
   the first FULL_NAME_BYTES of strDestination. A value that leaves no room
   for its terminator there fails with ERROR_MORE_DATA; the half unit that
   ends a value of an odd byte count is dropped. */
DWORD GetFullPrinterName(wchar_t *strDestination, const wchar_t *strPrinter, const wchar_t *strUserKey)
{
    wchar_t strPath[NAME_UNITS];
    HKEY hRoot = strUserKey != NULL ? HKEY_USERS : HKEY_CURRENT_USER;
    HKEY hKey = NULL;
    DWORD type = 0;
    DWORD used;
    DWORD size;
    DWORD status;
    wchar_t *strValue;

    if (strPrinter == NULL) {
        DebugTrace(L"GetFullPrinterName() : strPrinter is NULL\n");
        return ERROR_INVALID_PARAMETER;
    }
    if ((DWORD)lstrlenW(strPrinter) * sizeof(wchar_t) + 4 > FULL_NAME_BYTES)
        return ERROR_INSUFFICIENT_BUFFER;

    lstrcpyW(strDestination, strPrinter);
    lstrcatW(strDestination, L",");
    used = (DWORD)lstrlenW(strDestination) * sizeof(wchar_t);
    strValue = strDestination + lstrlenW(strDestination);

    status = FormatHiveKeyPath(strPath, g_devicesPath, strUserKey);
    if (status != NO_ERROR) {
        DebugTrace(L"GetFullPrinterName(%s) : key path too long for user key %s : failed. GetLastError() = %d\n",
                   strPrinter, strUserKey, status);
        return status;
    }

    status = RegOpenKeyExW(hRoot, strPath, 0, KEY_QUERY_VALUE, &hKey);
    if (status != ERROR_SUCCESS) {
        DebugTrace(L"GetFullPrinterName(%s) : RegOpenKeyEx(%s) : failed. GetLastError() = %d\n",
                   strPrinter, strPath, status);
        return status;
    }

    size = FULL_NAME_BYTES - used;
    status = RegQueryValueExW(hKey, strPrinter, NULL, &type, (BYTE *)strValue, &size);
    if (status == ERROR_SUCCESS) {
        /* The stored value need not end in a zero: terminate it after its
           whole units inside the room (over a dangling odd byte), or refuse
           it as too long when it fills the room unterminated. */
        DWORD end = (used + size) / sizeof(wchar_t);
        if (size >= sizeof(wchar_t) && size % sizeof(wchar_t) == 0 &&
            strDestination[end - 1] == L'\0')
            ;
        else if (end < FULL_NAME_BYTES / sizeof(wchar_t))
            strDestination[end] = L'\0';
        else
            status = ERROR_MORE_DATA;
    }
    if (status != ERROR_SUCCESS)
        DebugTrace(L"GetFullPrinterName(%s) : RegQueryValueEx() : failed. GetLastError() = %d",
                   strPrinter, status);
    RegCloseKey(hKey);
    return status;
}

/* Sets the hive's "Device" value (REG_SZ, terminator counted). */
DWORD SetDefaultPrinterInRegistry(const wchar_t *strFullPrinterName, const wchar_t *strUserKey)
{
    wchar_t strPath[NAME_UNITS];
    HKEY hRoot = strUserKey != NULL ? HKEY_USERS : HKEY_CURRENT_USER;
    HKEY hKey = NULL;
    DWORD status;

    if (strFullPrinterName == NULL) {
        DebugTrace(L"SetDefaultPrinterInRegistry() : strFullPrinterName is NULL\n");
        return ERROR_INVALID_PARAMETER;
    }

    status = FormatHiveKeyPath(strPath, g_windowsPath, strUserKey);
    if (status != NO_ERROR) {
        DebugTrace(L"SetDefaultPrinterInRegistry(%s) : key path too long for user key %s : failed. GetLastError() = %d",
                   strFullPrinterName, strUserKey, status);
        return status;
    }

    status = RegOpenKeyExW(hRoot, strPath, 0, KEY_SET_VALUE, &hKey);
    if (status != ERROR_SUCCESS) {
        DebugTrace(L"SetDefaultPrinterInRegistry(%s) : RegOpenKeyEx() : failed. GetLastError() = %d",
                   strFullPrinterName, status);
        return status;
    }
    status = RegSetValueExW(hKey, L"Device", 0, REG_SZ, (const BYTE *)strFullPrinterName,
                            ((DWORD)lstrlenW(strFullPrinterName) + 1) * sizeof(wchar_t));
    if (status != ERROR_SUCCESS)
        DebugTrace(L"SetDefaultPrinterInRegistry(%s) : RegSetValueEx() : failed. GetLastError() = %d",
                   strFullPrinterName, status);
    RegCloseKey(hKey);
    return status;
}
