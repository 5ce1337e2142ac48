/*
 * The printer device of the device_installer tool, the bench and the
 * co-installer's tests, and what a co-installer needs around it (see
 * device_setup.h).
 */
#include "device_setup.h"

#include <stdio.h>
#include <devguid.h>
#include <winspool.h>

static BOOL Fail(PrinterDevice *device, const wchar_t *step)
{
    _snwprintf(device->error, DEVICE_TEXT_UNITS - 1, L"%ls failed, error 0x%08lX", step,
               (unsigned long)GetLastError());
    device->error[DEVICE_TEXT_UNITS - 1] = L'\0';
    return FALSE;
}

static BOOL Request(PrinterDevice *device, DI_FUNCTION code, const wchar_t *name)
{
    return SetupDiCallClassInstaller(code, device->hSet, &device->data) || Fail(device, name);
}

/* Quiet, and with an INF: only that INF is searched for drivers. */
static BOOL SetInstallParams(PrinterDevice *device, const wchar_t *infPath)
{
    SP_DEVINSTALL_PARAMS_W params;

    ZeroMemory(&params, sizeof(params));
    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsW(device->hSet, &device->data, &params))
        return Fail(device, L"SetupDiGetDeviceInstallParams");
    params.Flags |= DI_QUIETINSTALL;
    if (infPath != NULL) {
        wcscpy(params.DriverPath, infPath);
        params.Flags |= DI_ENUMSINGLEINF;
    }
    return SetupDiSetDeviceInstallParamsW(device->hSet, &device->data, &params) ||
           Fail(device, L"SetupDiSetDeviceInstallParams");
}

/* text as a quoted INF string: a double quote in it is written twice and a
   percent sign as %% (alone it would begin a %strkey% token). A line break
   or another control character cannot be written at all: FALSE. */
static BOOL QuoteInfString(const wchar_t *text, wchar_t *quoted, size_t units)
{
    size_t at = 0;

    quoted[at++] = L'"';
    for (; *text != L'\0'; text++) {
        if (*text < L' ' || at + 4 > units)   /* two units, the closing quote, the zero */
            return FALSE;
        if (*text == L'"' || *text == L'%')
            quoted[at++] = *text;
        quoted[at++] = *text;
    }
    quoted[at++] = L'"';
    quoted[at] = L'\0';
    return TRUE;
}

BOOL WriteModelInf(const wchar_t *infPath, const wchar_t *model, const wchar_t *hardwareId,
                   wchar_t *error, int errorUnits)
{
    static wchar_t text[4096];
    wchar_t quotedModel[DEVICE_TEXT_UNITS], quotedId[DEVICE_TEXT_UNITS];
    HANDLE file;
    DWORD written;
    BOOL ok;
    int n = -1;

    if (QuoteInfString(model, quotedModel, DEVICE_TEXT_UNITS) &&
        QuoteInfString(hardwareId, quotedId, DEVICE_TEXT_UNITS))
        n = _snwprintf(text + 1, 4094,   /* after the byte-order mark: UTF-16 */
            L"[Version]\r\n"
            L"Signature=\"$Windows NT$\"\r\n"
            L"Class=Printer\r\n"
            L"ClassGUID={4D36E979-E325-11CE-BFC1-08002BE10318}\r\n"
            L"Provider=%%Maker%%\r\n"
            L"DriverVer=01/01/2020,1.0.0.0\r\n"
            L"\r\n"
            L"[Manufacturer]\r\n"
            L"%%Maker%%=Models\r\n"
            L"\r\n"
            L"[Models]\r\n"
            L"%ls=PrinterInstall,%ls\r\n"
            L"\r\n"
            L"[PrinterInstall]\r\n"
            L"\r\n"
            L"[Strings]\r\n"
            L"Maker=\"Test Printer Maker\"\r\n",
            quotedModel, quotedId);

    error[errorUnits - 1] = L'\0';
    if (n < 0) {
        _snwprintf(error, errorUnits - 1, L"the model name or hardware ID is too long or holds a line break "
                   L"or another control character");
        return FALSE;
    }
    text[0] = 0xFEFF;
    file = CreateFileW(infPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ok = file != INVALID_HANDLE_VALUE && WriteFile(file, text, (DWORD)((n + 1) * sizeof(wchar_t)), &written, NULL);
    if (!ok)
        _snwprintf(error, errorUnits - 1, L"cannot write %ls, error %lu", infPath, (unsigned long)GetLastError());
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return ok;
}

BOOL CreatePrinterDevice(PrinterDevice *device, const wchar_t *infPath, const wchar_t *hardwareId,
                         const wchar_t *portName, PortNameForm form)
{
    wchar_t ids[DEVICE_TEXT_UNITS];
    size_t idLength = wcslen(hardwareId);

    ZeroMemory(device, sizeof(*device));
    device->hSet = INVALID_HANDLE_VALUE;
    if (idLength == 0 || idLength + 2 > DEVICE_TEXT_UNITS || wcslen(infPath) >= MAX_PATH) {
        _snwprintf(device->error, DEVICE_TEXT_UNITS - 1, L"the hardware ID must be 1 to %d characters and "
                   L"the INF path shorter than %d", DEVICE_TEXT_UNITS - 2, MAX_PATH);
        return FALSE;
    }
    device->hSet = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PRINTER, NULL);
    if (device->hSet == INVALID_HANDLE_VALUE)
        return Fail(device, L"SetupDiCreateDeviceInfoList");
    device->data.cbSize = sizeof(device->data);
    /* An element of the set only, until DIF_REGISTERDEVICE below registers it. */
    if (!SetupDiCreateDeviceInfoW(device->hSet, L"PRINTER", &GUID_DEVCLASS_PRINTER, NULL, NULL,
                                  DICD_GENERATE_ID, &device->data))
        return Fail(device, L"SetupDiCreateDeviceInfo");
    if (!SetupDiGetDeviceInstanceIdW(device->hSet, &device->data, device->instanceId, DEVICE_TEXT_UNITS, NULL))
        return Fail(device, L"SetupDiGetDeviceInstanceId");
    ZeroMemory(ids, sizeof(ids));
    wcscpy(ids, hardwareId);   /* a multi-string: the ID, then an empty string */
    if (!SetupDiSetDeviceRegistryPropertyW(device->hSet, &device->data, SPDRP_HARDWAREID, (const BYTE *)ids,
                                           (DWORD)((idLength + 2) * sizeof(wchar_t))))
        return Fail(device, L"SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID)");
    if (!SetInstallParams(device, infPath) ||
        !Request(device, DIF_REGISTERDEVICE, L"SetupDiCallClassInstaller(DIF_REGISTERDEVICE)"))
        return FALSE;
    device->registered = TRUE;
    if (!SetDevicePortName(device, portName, form))
        return FALSE;
    if (!SetupDiBuildDriverInfoList(device->hSet, &device->data, SPDIT_COMPATDRIVER))
        return Fail(device, L"SetupDiBuildDriverInfoList(SPDIT_COMPATDRIVER)");
    return Request(device, DIF_SELECTBESTCOMPATDRV, L"SetupDiCallClassInstaller(DIF_SELECTBESTCOMPATDRV)");
}

BOOL OpenPrinterDevice(PrinterDevice *device, const wchar_t *instanceId)
{
    ZeroMemory(device, sizeof(*device));
    lstrcpynW(device->instanceId, instanceId, DEVICE_TEXT_UNITS);
    device->data.cbSize = sizeof(device->data);
    device->hSet = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PRINTER, NULL);
    if (device->hSet == INVALID_HANDLE_VALUE)
        return Fail(device, L"SetupDiCreateDeviceInfoList");
    if (!SetupDiOpenDeviceInfoW(device->hSet, instanceId, NULL, 0, &device->data))
        return Fail(device, L"SetupDiOpenDeviceInfo");
    device->registered = TRUE;
    return SetInstallParams(device, NULL);
}

BOOL GetSelectedModel(PrinterDevice *device, wchar_t *model, int units)
{
    SP_DRVINFO_DATA_V2_W info;

    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    if (!SetupDiGetSelectedDriverW(device->hSet, &device->data, &info))
        return Fail(device, L"SetupDiGetSelectedDriver");
    lstrcpynW(model, info.Description, units);
    return TRUE;
}

BOOL SetDevicePortName(PrinterDevice *device, const wchar_t *portName, PortNameForm form)
{
    wchar_t data[DEVICE_TEXT_UNITS + 2];
    HKEY key;
    LONG status = ERROR_SUCCESS;
    DWORD bytes;
    size_t length = portName ? wcslen(portName) : 0;

    if (length + 2 > DEVICE_TEXT_UNITS) {
        _snwprintf(device->error, DEVICE_TEXT_UNITS - 1, L"the port name is too long");
        return FALSE;
    }
    /* The device's "Device Parameters" key, as SetupAPI opens it: the Enum
       tree is the system's own, never to be opened by its path. */
    key = SetupDiCreateDevRegKeyW(device->hSet, &device->data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
    if (key == INVALID_HANDLE_VALUE)
        return Fail(device, L"SetupDiCreateDevRegKey(DIREG_DEV)");
    if (form != PORT_NAME_NONE) {
        /* The registry adds a terminator left out of the count only when the
           unit after the counted data is zero; a non-zero one keeps it out.
           The odd form counts the low byte of that unit ('Y') as well. */
        wcscpy(data, portName);
        data[length] = form == PORT_NAME_UNTERMINATED ? L'X' : form == PORT_NAME_ODD_BYTE ? L'Y' : L'\0';
        data[length + 1] = L'\0';
        bytes = (DWORD)(length * sizeof(wchar_t));
        if (form == PORT_NAME_TERMINATED)
            bytes += sizeof(wchar_t);
        else if (form == PORT_NAME_ODD_BYTE)
            bytes += 1;
        status = RegSetValueExW(key, L"PortName", 0, REG_SZ, (const BYTE *)data, bytes);
    }
    RegCloseKey(key);
    SetLastError((DWORD)status);
    return status == ERROR_SUCCESS || Fail(device, L"RegSetValueEx(PortName)");
}

void FreePrinterDevice(PrinterDevice *device)
{
    /* The set's driver lists go with it. */
    if (device->hSet == INVALID_HANDLE_VALUE || device->hSet == NULL)
        return;
    SetupDiDestroyDeviceInfoList(device->hSet);
    device->hSet = INVALID_HANDLE_VALUE;
}

BOOL RemovePrinterDevice(PrinterDevice *device)
{
    BOOL ok = TRUE;

    if (device->registered && device->hSet != INVALID_HANDLE_VALUE && device->hSet != NULL) {
        ok = Request(device, DIF_REMOVE, L"SetupDiCallClassInstaller(DIF_REMOVE)");
        device->registered = !ok;
    }
    FreePrinterDevice(device);
    return ok;
}

CoInstallerProc LoadCoInstaller(const wchar_t *path, const wchar_t *entryPoint, HMODULE *library,
                                wchar_t *error)
{
    char exportName[256];
    CoInstallerProc entry = NULL;

    WideCharToMultiByte(CP_ACP, 0, entryPoint, -1, exportName, sizeof(exportName), NULL, NULL);
    exportName[sizeof(exportName) - 1] = '\0';
    *library = LoadLibraryW(path);
    if (*library == NULL)
        _snwprintf(error, DEVICE_TEXT_UNITS - 1, L"LoadLibrary(%ls) failed, error %lu", path,
                   (unsigned long)GetLastError());
    else if ((entry = (CoInstallerProc)(void *)GetProcAddress(*library, exportName)) == NULL)
        _snwprintf(error, DEVICE_TEXT_UNITS - 1, L"%ls has no export %ls", path, entryPoint);
    error[DEVICE_TEXT_UNITS - 1] = L'\0';
    if (entry == NULL && *library != NULL) {
        FreeLibrary(*library);
        *library = NULL;
    }
    return entry;
}

DWORD AddSpoolerDriver(const wchar_t *driver)
{
    DRIVER_INFO_3W info;

    ZeroMemory(&info, sizeof(info));
    info.cVersion = 3;
    info.pName = (wchar_t *)driver;
    info.pDriverPath = (wchar_t *)L"wineps.drv";
    info.pDataFile = (wchar_t *)L"wineps.drv";
    info.pConfigFile = (wchar_t *)L"wineps.drv";
    return AddPrinterDriverExW(NULL, 3, (BYTE *)&info, APD_COPY_NEW_FILES) ? NO_ERROR : GetLastError();
}

DWORD AddSpoolerQueue(const wchar_t *printer, const wchar_t *driver, const wchar_t *port)
{
    PRINTER_INFO_2W info;
    HANDLE h;

    ZeroMemory(&info, sizeof(info));
    info.pPrinterName = (wchar_t *)printer;
    info.pPortName = (wchar_t *)port;
    info.pDriverName = (wchar_t *)driver;
    info.pPrintProcessor = (wchar_t *)L"WinPrint";
    info.pDatatype = (wchar_t *)L"RAW";
    h = AddPrinterW(NULL, 2, (BYTE *)&info);
    if (h == NULL)
        return GetLastError();
    ClosePrinter(h);
    return NO_ERROR;
}

void DeleteSpoolerQueue(const wchar_t *printer)
{
    PRINTER_DEFAULTSW defaults = { NULL, NULL, PRINTER_ALL_ACCESS };
    HANDLE h = NULL;

    if (OpenPrinterW((wchar_t *)printer, &h, &defaults)) {
        DeletePrinter(h);
        ClosePrinter(h);
    }
}
