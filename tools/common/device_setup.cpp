/*
 * The printer device of the device_installer tool, the bench and the
 * co-installer's tests (see device_setup.h).
 */
#include "device_setup.h"

#include <stdio.h>
#include <devguid.h>

static void SetError(PrinterDevice *device, const wchar_t *step)
{
    _snwprintf(device->error, DEVICE_TEXT_UNITS - 1, L"%ls failed, error 0x%08lX", step,
               (unsigned long)GetLastError());
    device->error[DEVICE_TEXT_UNITS - 1] = L'\0';
}

static BOOL WriteUtf16File(const wchar_t *path, const wchar_t *text, wchar_t *error, int errorUnits)
{
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    BOOL ok = FALSE;
    static const WORD bom = 0xFEFF;

    if (file == INVALID_HANDLE_VALUE) {
        _snwprintf(error, errorUnits - 1, L"cannot create %ls, error %lu", path, (unsigned long)GetLastError());
        error[errorUnits - 1] = L'\0';
        return FALSE;
    }
    ok = WriteFile(file, &bom, sizeof(bom), &written, NULL) &&
         WriteFile(file, text, (DWORD)(wcslen(text) * sizeof(wchar_t)), &written, NULL);
    if (!ok) {
        _snwprintf(error, errorUnits - 1, L"cannot write %ls, error %lu", path, (unsigned long)GetLastError());
        error[errorUnits - 1] = L'\0';
    }
    CloseHandle(file);
    return ok;
}

BOOL WriteModelInf(const wchar_t *infPath, const wchar_t *model, const wchar_t *hardwareId,
                   wchar_t *error, int errorUnits)
{
    static wchar_t text[4096];
    int n = _snwprintf(text, 4095,
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
        L"\"%ls\"=PrinterInstall,%ls\r\n"
        L"\r\n"
        L"[PrinterInstall]\r\n"
        L"\r\n"
        L"[Strings]\r\n"
        L"Maker=\"Test Printer Maker\"\r\n",
        model, hardwareId);
    if (n < 0) {
        _snwprintf(error, errorUnits - 1, L"the model name or hardware ID is too long");
        error[errorUnits - 1] = L'\0';
        return FALSE;
    }
    text[n] = L'\0';
    return WriteUtf16File(infPath, text, error, errorUnits);
}

BOOL CreatePrinterDevice(PrinterDevice *device, const wchar_t *infPath, const wchar_t *hardwareId)
{
    SP_DEVINSTALL_PARAMS_W params;
    wchar_t ids[DEVICE_TEXT_UNITS];
    size_t idLength = wcslen(hardwareId);

    ZeroMemory(device, sizeof(*device));
    device->hSet = INVALID_HANDLE_VALUE;
    if (idLength == 0 || idLength + 2 > DEVICE_TEXT_UNITS) {
        _snwprintf(device->error, DEVICE_TEXT_UNITS - 1, L"the hardware ID must be 1 to %d characters",
                   DEVICE_TEXT_UNITS - 2);
        return FALSE;
    }
    device->hSet = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PRINTER, NULL);
    if (device->hSet == INVALID_HANDLE_VALUE) {
        SetError(device, L"SetupDiCreateDeviceInfoList");
        return FALSE;
    }
    device->data.cbSize = sizeof(device->data);
    if (!SetupDiCreateDeviceInfoW(device->hSet, L"PRINTER", &GUID_DEVCLASS_PRINTER, NULL, NULL,
                                  DICD_GENERATE_ID, &device->data)) {
        SetError(device, L"SetupDiCreateDeviceInfo");
        return FALSE;
    }
    device->created = TRUE;
    if (!SetupDiGetDeviceInstanceIdW(device->hSet, &device->data, device->instanceId,
                                     DEVICE_TEXT_UNITS, NULL)) {
        SetError(device, L"SetupDiGetDeviceInstanceId");
        return FALSE;
    }

    ZeroMemory(ids, sizeof(ids));
    wcscpy(ids, hardwareId);   /* a multi-string: the ID, then an empty string */
    if (!SetupDiSetDeviceRegistryPropertyW(device->hSet, &device->data, SPDRP_HARDWAREID, (const BYTE *)ids,
                                           (DWORD)((idLength + 2) * sizeof(wchar_t)))) {
        SetError(device, L"SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID)");
        return FALSE;
    }

    ZeroMemory(&params, sizeof(params));
    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsW(device->hSet, &device->data, &params)) {
        SetError(device, L"SetupDiGetDeviceInstallParams");
        return FALSE;
    }
    if (wcslen(infPath) >= MAX_PATH) {
        _snwprintf(device->error, DEVICE_TEXT_UNITS - 1, L"the INF path is longer than %d characters", MAX_PATH - 1);
        return FALSE;
    }
    wcscpy(params.DriverPath, infPath);
    params.Flags |= DI_ENUMSINGLEINF;
    if (!SetupDiSetDeviceInstallParamsW(device->hSet, &device->data, &params)) {
        SetError(device, L"SetupDiSetDeviceInstallParams");
        return FALSE;
    }
    if (!SetupDiBuildDriverInfoList(device->hSet, &device->data, SPDIT_COMPATDRIVER)) {
        SetError(device, L"SetupDiBuildDriverInfoList(SPDIT_COMPATDRIVER)");
        return FALSE;
    }
    device->driversBuilt = TRUE;
    if (!SetupDiSelectBestCompatDrv(device->hSet, &device->data)) {
        SetError(device, L"SetupDiSelectBestCompatDrv (does the INF list the hardware ID?)");
        return FALSE;
    }
    return TRUE;
}

BOOL GetSelectedModel(PrinterDevice *device, wchar_t *model, int units)
{
    SP_DRVINFO_DATA_V2_W info;

    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    if (!SetupDiGetSelectedDriverW(device->hSet, &device->data, &info)) {
        SetError(device, L"SetupDiGetSelectedDriver");
        return FALSE;
    }
    lstrcpynW(model, info.Description, units);
    return TRUE;
}

BOOL SetDevicePortName(PrinterDevice *device, const wchar_t *portName, PortNameForm form)
{
    wchar_t path[DEVICE_TEXT_UNITS + 64];
    wchar_t data[DEVICE_TEXT_UNITS + 2];
    HKEY key = NULL;
    LONG status;
    DWORD bytes;
    size_t length = portName ? wcslen(portName) : 0;

    if (length + 2 > DEVICE_TEXT_UNITS) {
        _snwprintf(device->error, DEVICE_TEXT_UNITS - 1, L"the port name is too long");
        return FALSE;
    }
    _snwprintf(path, DEVICE_TEXT_UNITS + 63, L"SYSTEM\\CurrentControlSet\\Enum\\%ls\\Device Parameters",
               device->instanceId);
    path[DEVICE_TEXT_UNITS + 63] = L'\0';
    status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (status != ERROR_SUCCESS) {
        SetLastError(status);
        SetError(device, L"RegCreateKeyEx(Device Parameters)");
        return FALSE;
    }
    if (form == PORT_NAME_NONE) {   /* the key, without the value */
        RegCloseKey(key);
        return TRUE;
    }
    /* The registry adds a terminator left out of the count only when the
       unit after the counted data is zero; a non-zero one keeps it out. The
       odd form counts the low byte of that unit ('Y') as well. */
    wcscpy(data, portName);
    data[length] = form == PORT_NAME_UNTERMINATED ? L'X' : form == PORT_NAME_ODD_BYTE ? L'Y' : L'\0';
    data[length + 1] = L'\0';
    bytes = (DWORD)(length * sizeof(wchar_t));
    if (form == PORT_NAME_TERMINATED)
        bytes += sizeof(wchar_t);
    else if (form == PORT_NAME_ODD_BYTE)
        bytes += 1;
    status = RegSetValueExW(key, L"PortName", 0, REG_SZ, (const BYTE *)data, bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        SetLastError(status);
        SetError(device, L"RegSetValueEx(PortName)");
        return FALSE;
    }
    return TRUE;
}

BOOL RemovePrinterDevice(PrinterDevice *device)
{
    BOOL ok = TRUE;

    if (device->hSet == INVALID_HANDLE_VALUE || device->hSet == NULL)
        return TRUE;
    if (device->created) {
        if (!SetupDiRemoveDevice(device->hSet, &device->data)) {
            SetError(device, L"SetupDiRemoveDevice");
            ok = FALSE;
        }
        device->created = FALSE;
    }
    if (device->driversBuilt) {
        SetupDiDestroyDriverInfoList(device->hSet, &device->data, SPDIT_COMPATDRIVER);
        device->driversBuilt = FALSE;
    }
    SetupDiDestroyDeviceInfoList(device->hSet);
    device->hSet = INVALID_HANDLE_VALUE;
    return ok;
}
