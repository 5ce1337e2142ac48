/*
 * First half of the default-printer procedure: which model was installed on
 * which port, and which print queue uses that driver on that port. Each step
 * hands its result forward; everything is released in one place at the end.
 */
#include "coinstaller.h"

#define PRINTER_ENUM_FLAGS  (PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS)

static const wchar_t g_globalAllocFailed[] = L"GlobalAlloc(GMEM_FIXED, %d) failed. GetLastError() = %d\n";

/* The description of the selected driver, into a NAME_UNITS buffer. */
DWORD GetPrinterModelName(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                          wchar_t *strModelName)
{
    SP_DRVINFO_DATA_V2_W driverInfo;
    DWORD status = NO_ERROR;

    ZeroMemory(&driverInfo, sizeof(driverInfo));
    driverInfo.cbSize = sizeof(driverInfo);
    if (SetupDiGetSelectedDriverW(DeviceInfoSet, DeviceInfoData, &driverInfo)) {
        lstrcpynW(strModelName, driverInfo.Description, NAME_UNITS);
        DebugTrace(L"GetPrinterModelName() : Model Name = \"%s\"\n", strModelName);
    } else {
        status = GetLastError();
        DebugTrace(L"GetPrinterModelName() : SetupDiGetSelectedDriver() failed. GetLastError() = %d\n", status);
        DebugTrace(L"GetPrinterModelName() failed. GetLastError() = %d\n", status);
        if (status == NO_ERROR)
            status = ERROR_GEN_FAILURE;
    }
    return status;
}

/* The device's "Device Parameters" key path, from its instance ID, into a
   NAME_UNITS buffer. The ID block lives only inside this step. */
DWORD GetDeviceParametersPath(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                              wchar_t *strPath)
{
    DWORD requiredLength = 0;
    DWORD status = NO_ERROR;
    wchar_t *strInstanceId = NULL;

    SetLastError(NO_ERROR);
    if (!SetupDiGetDeviceInstanceIdW(DeviceInfoSet, DeviceInfoData, NULL, 0, &requiredLength)) {
        status = GetLastError();
        if (status == ERROR_INSUFFICIENT_BUFFER)
            status = NO_ERROR;
        else if (status != NO_ERROR)
            DebugTrace(L"SetupDiGetDeviceInstanceId(0) failed. GetLastError() = %d\n", status);
    }
    if (status == NO_ERROR && requiredLength > 0) {
        DWORD bytes = (requiredLength + 1) * sizeof(wchar_t);
        strInstanceId = (wchar_t *)GlobalAlloc(GMEM_FIXED, bytes);
        if (strInstanceId == NULL) {
            status = GetLastError();
            DebugTrace(g_globalAllocFailed, bytes, status);
            if (status == NO_ERROR)
                status = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    if (status == NO_ERROR) {
        if (!SetupDiGetDeviceInstanceIdW(DeviceInfoSet, DeviceInfoData, strInstanceId,
                                         requiredLength, NULL)) {
            status = GetLastError();
            DebugTrace(L"SetupDiGetDeviceInstanceId(%d) failed. GetLastError() = %d\n",
                       requiredLength, status);
            if (status == NO_ERROR)
                status = ERROR_GEN_FAILURE;
        } else {
            DebugTrace(L"Device Instance ID = %s\n", strInstanceId);
            status = FormatKeyPath(strPath, NAME_UNITS,
                                   L"SYSTEM\\CurrentControlSet\\Enum\\%s\\Device Parameters",
                                   strInstanceId);
            if (status != NO_ERROR)
                DebugTrace(L"Device Parameters key path too long for %s failed. GetLastError() = %d\n",
                           strInstanceId, status);
        }
    }
    if (strInstanceId != NULL)
        GlobalFree(strInstanceId);
    return status;
}

/* The device's "PortName" value, into a global-memory block handed to the
   caller (also on failure, once allocated). The block has room for a
   terminator after the data, which the stored value need not carry. A value
   of an odd byte count ends in half a unit: that byte is dropped, so nothing
   the registry did not return becomes part of the name. */
DWORD GetDevicePortName(const wchar_t *strPath, wchar_t **pstrPortName)
{
    HKEY hKey = NULL;
    DWORD type = 0;
    DWORD size = 0;
    DWORD status;

    status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, strPath, 0, KEY_READ, &hKey);
    if (status != ERROR_SUCCESS) {
        DebugTrace(L"RegOpenKeyEx(%s) failed. GetLastError() = %d\n", strPath, status);
        hKey = NULL;
    }
    if (hKey != NULL) {
        status = RegQueryValueExW(hKey, L"PortName", NULL, &type, NULL, &size);
        if (status == ERROR_MORE_DATA)
            status = ERROR_SUCCESS;
        if (status != ERROR_SUCCESS)
            DebugTrace(L"RegQueryValueEx(0) failed. GetLastError() = %d\n", status);
    }
    if (hKey != NULL && status == ERROR_SUCCESS && size > 0) {
        DWORD units = size / sizeof(wchar_t) + 1;
        DWORD bytes = units * sizeof(wchar_t);
        *pstrPortName = (wchar_t *)GlobalAlloc(GMEM_FIXED, bytes);
        if (*pstrPortName == NULL) {
            status = GetLastError();
            DebugTrace(g_globalAllocFailed, bytes, status);
            if (status == NO_ERROR)
                status = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    if (hKey != NULL && status == ERROR_SUCCESS) {
        status = RegQueryValueExW(hKey, L"PortName", NULL, &type, (BYTE *)*pstrPortName, &size);
        if (status != ERROR_SUCCESS) {
            DebugTrace(L"RegQueryValueEx(1) failed. GetLastError() = %d\n", status);
        } else {
            if (*pstrPortName != NULL)
                (*pstrPortName)[size / sizeof(wchar_t)] = L'\0';
            DebugTrace(L"PortName = %s\n", *pstrPortName);
        }
    }
    if (hKey != NULL)
        RegCloseKey(hKey);
    return status;
}

/* Every local and connected printer at level 2, into a global-memory block
   handed to the caller (also on failure, once allocated). */
DWORD GetPrinterList(PRINTER_INFO_2W **ppPrinters, DWORD *pnNbPrinters)
{
    DWORD dwNeeded = 0;
    DWORD dwReturned = 0;
    DWORD status = NO_ERROR;

    SetLastError(NO_ERROR);
    if (EnumPrintersW(PRINTER_ENUM_FLAGS, NULL, 2, NULL, 0, &dwNeeded, &dwReturned)) {
        DebugTrace(L"EnumPrinters(0) succeed2. dwReturned = %d\n", dwReturned);
    } else {
        status = GetLastError();
        if (status == ERROR_INSUFFICIENT_BUFFER) {
            DebugTrace(L"EnumPrinters(0) return ERROR_INSUFFICIENT_BUFFER (%d)\n", dwNeeded);
            status = NO_ERROR;
        } else if (status == NO_ERROR) {
            DebugTrace(L"EnumPrinters(0) succeed1. dwReturned = %d\n", dwReturned);
        } else {
            DebugTrace(L"EnumPrinters(0) failed. GetLastError() = %d\n", status);
        }
    }
    if (status == NO_ERROR && dwNeeded > 0) {
        *ppPrinters = (PRINTER_INFO_2W *)GlobalAlloc(GMEM_FIXED, dwNeeded);
        if (*ppPrinters != NULL) {
            DebugTrace(L"GlobalAlloc(GMEM_FIXED, %d) succeeded\n", dwNeeded);
        } else {
            status = GetLastError();
            DebugTrace(g_globalAllocFailed, dwNeeded, status);
            if (status == NO_ERROR)
                status = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    if (status == NO_ERROR) {
        if (EnumPrintersW(PRINTER_ENUM_FLAGS, NULL, 2, (BYTE *)*ppPrinters, dwNeeded,
                          &dwNeeded, pnNbPrinters)) {
            DebugTrace(L"EnumPrinters(1) succeed. nNbPrinters = %d\n", *pnNbPrinters);
        } else {
            status = GetLastError();
            DebugTrace(L"EnumPrinters(1) failed. GetLastError() = %d\n", status);
            *pnNbPrinters = 0;
            if (status == NO_ERROR)
                status = ERROR_GEN_FAILURE;
        }
    }
    return status;
}

/* The first queue, in list order, whose driver is the installed model and
   whose port is the device's port (whole names, any letter case), becomes
   the default printer of every user hive. */
void FindInstalledPrinter(PrinterSearch *search)
{
    DWORD index;

    for (index = 0; index < search->nNbPrinters; index++) {
        PRINTER_INFO_2W *printer = &search->pPrinters[index];
        if (lstrcmpiW(search->strModelName, printer->pDriverName) != 0)
            continue;
        if (lstrcmpiW(search->strPortName, printer->pPortName) != 0)
            continue;
        DebugTrace(L"FOUND : Printer Name = \"%s\" Model Name = \"%s\" Port Name = \"%s\"\n",
                   printer->pPrinterName, printer->pDriverName, printer->pPortName);
        if (printer->pPrinterName == NULL)
            break;
        SetDefaultPrinterForAllUsers(printer->pPrinterName, &search->hUsersKey);
        return;
    }
    DebugTrace(L"Unable to found Printer : Model Name = \"%s\" Port Name = \"%s\"\n",
               search->strModelName, search->strPortName);
}

/* The whole procedure, run once the device has been installed. The first
   step that fails ends it; the clean-up runs whatever the outcome. */
void SetDefaultPrinterForInstalledDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    PrinterSearch search;
    DWORD status;

    ZeroMemory(&search, sizeof(search));
    status = GetPrinterModelName(DeviceInfoSet, DeviceInfoData, search.strModelName);
    if (status == NO_ERROR)
        status = GetDeviceParametersPath(DeviceInfoSet, DeviceInfoData, search.strParametersPath);
    if (status == NO_ERROR)
        status = GetDevicePortName(search.strParametersPath, &search.strPortName);
    if (status == NO_ERROR)
        status = GetPrinterList(&search.pPrinters, &search.nNbPrinters);
    if (status == NO_ERROR)
        FindInstalledPrinter(&search);

    if (search.hUsersKey != NULL)
        RegCloseKey(search.hUsersKey);
    if (search.pPrinters != NULL)
        GlobalFree(search.pPrinters);
    if (search.strPortName != NULL)
        GlobalFree(search.strPortName);
}
