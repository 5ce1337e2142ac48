/*
 * The device_installer tool's driver-package modes: a printer device
 * installed from a package's INF with the requests a device installer sends
 * to the class installer (SetupAPI does the work behind each), the device
 * removed again, and the package's uninstall section run.
 */
#include "installer.h"

#include <stdio.h>
#include <wchar.h>
#include <devguid.h>

#define LIST_UNITS 2048
#define MAX_COINSTALLERS 16

typedef DWORD (CALLBACK *CoInstallerProc)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA);

/* Wine's SetupAPI never makes the post-processing call; Windows' does, and
   must not get a second one. */
static BOOL RunningOnWine(void)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

static BOOL CallDif(PrinterDevice *device, DI_FUNCTION code, const wchar_t *name, DWORD *error)
{
    BOOL ok = SetupDiCallClassInstaller(code, device->hSet, &device->data);
    *error = ok ? NO_ERROR : GetLastError();
    if (ok)
        Report(L"SetupDiCallClassInstaller(%ls) = TRUE", name);
    else
        Report(L"SetupDiCallClassInstaller(%ls) = FALSE, error 0x%08lX", name, (unsigned long)*error);
    return ok;
}

static void FreeDevice(PrinterDevice *device)
{
    if (device->driversBuilt)
        SetupDiDestroyDriverInfoList(device->hSet, &device->data, SPDIT_COMPATDRIVER);
    if (device->hSet != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(device->hSet);
    device->hSet = INVALID_HANDLE_VALUE;
}

static HINF OpenInf(const wchar_t *path)
{
    UINT errorLine = 0;
    HINF inf = SetupOpenInfFileW(path, NULL, INF_STYLE_WIN4, &errorLine);
    if (inf == INVALID_HANDLE_VALUE)
        Report(L"error: SetupOpenInfFile(%ls) failed, error 0x%08lX (line %u)", path,
               (unsigned long)GetLastError(), errorLine);
    return inf;
}

/* The hardware ID of the INF's first model: [Manufacturer] names the models
   section, and its NTamd64 decoration is the one 64-bit Windows reads. */
static BOOL ReadModelHardwareId(const wchar_t *infPath, wchar_t *id, DWORD units)
{
    HINF inf = OpenInf(infPath);
    INFCONTEXT line;
    wchar_t models[LINE_LEN], decoration[LINE_LEN], section[2 * LINE_LEN];
    DWORD field, fields;
    BOOL ok = FALSE;

    if (inf == INVALID_HANDLE_VALUE)
        return FALSE;
    if (!SetupFindFirstLineW(inf, L"Manufacturer", NULL, &line) ||
        !SetupGetStringFieldW(&line, 1, models, LINE_LEN, NULL)) {
        Report(L"error: the INF has no [Manufacturer] line naming a models section");
        SetupCloseInfFile(inf);
        return FALSE;
    }
    lstrcpynW(section, models, 2 * LINE_LEN);
    fields = SetupGetFieldCount(&line);
    for (field = 2; field <= fields; field++) {
        if (SetupGetStringFieldW(&line, field, decoration, LINE_LEN, NULL) &&
            _wcsnicmp(decoration, L"NTamd64", 7) == 0) {
            _snwprintf(section, 2 * LINE_LEN - 1, L"%ls.%ls", models, decoration);
            section[2 * LINE_LEN - 1] = L'\0';
            break;
        }
    }
    if (!SetupFindFirstLineW(inf, section, NULL, &line) || !SetupGetStringFieldW(&line, 2, id, units, NULL))
        Report(L"error: [%ls] has no model line with a hardware ID", section);
    else
        ok = TRUE;
    if (ok)
        Report(L"hardware ID: %ls (from [%ls])", id, section);
    SetupCloseInfFile(inf);
    return ok;
}

/* The device, registered, with its port and the INF's best driver selected
   by the class installer. */
static BOOL PrepareDevice(PrinterDevice *device, const InstallerOptions *options, const wchar_t *infPath,
                          const wchar_t *hardwareId)
{
    SP_DEVINSTALL_PARAMS_W params;
    wchar_t ids[DEVICE_TEXT_UNITS + 2];
    wchar_t model[DEVICE_TEXT_UNITS];
    size_t idLength = wcslen(hardwareId);
    DWORD error;

    device->hSet = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PRINTER, NULL);
    device->data.cbSize = sizeof(device->data);
    if (device->hSet == INVALID_HANDLE_VALUE ||
        !SetupDiCreateDeviceInfoW(device->hSet, L"PRINTER", &GUID_DEVCLASS_PRINTER, NULL, NULL, DICD_GENERATE_ID,
                                  &device->data) ||
        !SetupDiGetDeviceInstanceIdW(device->hSet, &device->data, device->instanceId, DEVICE_TEXT_UNITS, NULL)) {
        Report(L"error: the device could not be created, error 0x%08lX", (unsigned long)GetLastError());
        return FALSE;
    }
    device->created = TRUE;
    Report(L"device: %ls", device->instanceId);
    if (idLength + 2 > DEVICE_TEXT_UNITS) {
        Report(L"error: the hardware ID is too long");
        return FALSE;
    }
    ZeroMemory(ids, sizeof(ids));   /* a multi-string: the ID, then an empty string */
    wcscpy(ids, hardwareId);
    if (!SetupDiSetDeviceRegistryPropertyW(device->hSet, &device->data, SPDRP_HARDWAREID, (const BYTE *)ids,
                                           (DWORD)((idLength + 2) * sizeof(wchar_t)))) {
        Report(L"error: SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID) failed, error 0x%08lX",
               (unsigned long)GetLastError());
        return FALSE;
    }
    if (!CallDif(device, DIF_REGISTERDEVICE, L"DIF_REGISTERDEVICE", &error))
        return FALSE;
    if (!SetDevicePortName(device, options->portName, options->portForm)) {
        Report(L"error: %ls", device->error);
        return FALSE;
    }
    Report(L"port: %ls", options->portForm == PORT_NAME_NONE ? L"none" : options->portName);

    ZeroMemory(&params, sizeof(params));
    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsW(device->hSet, &device->data, &params)) {
        Report(L"error: SetupDiGetDeviceInstallParams failed, error 0x%08lX", (unsigned long)GetLastError());
        return FALSE;
    }
    lstrcpynW(params.DriverPath, infPath, MAX_PATH);
    params.Flags |= DI_ENUMSINGLEINF;
    if (!SetupDiSetDeviceInstallParamsW(device->hSet, &device->data, &params) ||
        !SetupDiBuildDriverInfoList(device->hSet, &device->data, SPDIT_COMPATDRIVER)) {
        Report(L"error: the INF's drivers could not be listed, error 0x%08lX", (unsigned long)GetLastError());
        return FALSE;
    }
    device->driversBuilt = TRUE;
    if (!CallDif(device, DIF_SELECTBESTCOMPATDRV, L"DIF_SELECTBESTCOMPATDRV", &error))
        return FALSE;
    if (GetSelectedModel(device, model, DEVICE_TEXT_UNITS))
        Report(L"model: %ls", model);
    /* FALSE with ERROR_DI_DO_DEFAULT: no installer objects, go on. */
    if (!CallDif(device, DIF_ALLOW_INSTALL, L"DIF_ALLOW_INSTALL", &error) && error != ERROR_DI_DO_DEFAULT)
        return FALSE;
    return CallDif(device, DIF_INSTALLDEVICEFILES, L"DIF_INSTALLDEVICEFILES", &error) &&
           CallDif(device, DIF_REGISTER_COINSTALLERS, L"DIF_REGISTER_COINSTALLERS", &error) &&
           CallDif(device, DIF_INSTALLINTERFACES, L"DIF_INSTALLINTERFACES", &error);
}

/* One CoInstallers32 entry, "DLL[,export]", called in post-processing; a DLL
   without a path is in the system folder, as the device installer has it. */
static DWORD PostProcess(PrinterDevice *device, wchar_t *entry, DWORD installResult)
{
    wchar_t path[MAX_PATH];
    char exportName[LINE_LEN];
    wchar_t *comma = wcschr(entry, L',');
    const wchar_t *entryPoint = L"CoDeviceInstall";
    HMODULE library;
    CoInstallerProc routine;
    COINSTALLER_CONTEXT_DATA context;
    DWORD result;

    if (comma != NULL) {
        *comma = L'\0';
        entryPoint = comma + 1;
    }
    if (wcschr(entry, L'\\') != NULL || wcschr(entry, L':') != NULL) {
        lstrcpynW(path, entry, MAX_PATH);
    } else {
        UINT n = GetSystemDirectoryW(path, MAX_PATH);
        if (n == 0 || n + 1 + wcslen(entry) >= MAX_PATH) {
            Report(L"error: no room for the path of %ls", entry);
            return installResult;
        }
        wcscat(path, L"\\");
        wcscat(path, entry);
    }
    WideCharToMultiByte(CP_ACP, 0, entryPoint, -1, exportName, LINE_LEN, NULL, NULL);
    exportName[LINE_LEN - 1] = '\0';
    Report(L"post-processing: %ls %ls", path, entryPoint);
    library = LoadLibraryW(path);
    if (library == NULL) {
        Report(L"error: LoadLibrary(%ls) failed, error %lu", path, (unsigned long)GetLastError());
        return installResult;
    }
    routine = (CoInstallerProc)(void *)GetProcAddress(library, exportName);
    if (routine == NULL) {
        Report(L"error: %ls has no export %ls", path, entryPoint);
        FreeLibrary(library);
        return installResult;
    }
    ZeroMemory(&context, sizeof(context));
    context.PostProcessing = TRUE;
    context.InstallResult = installResult;
    result = routine(DIF_INSTALLDEVICE, device->hSet, &device->data, &context);
    Report(L"%ls(DIF_INSTALLDEVICE, PostProcessing, InstallResult = 0x%08lX) = 0x%08lX", entryPoint,
           (unsigned long)installResult, (unsigned long)result);
    FreeLibrary(library);
    return result;
}

/* A string value of the device's driver key, zero-filled behind (a
   multi-string ends in two zeros); returns its type, REG_NONE when missing. */
static DWORD QueryDriverValue(PrinterDevice *device, const wchar_t *name, wchar_t *data, DWORD units)
{
    DWORD type = REG_NONE, bytes = (units - 2) * sizeof(wchar_t);
    HKEY key = SetupDiOpenDevRegKey(device->hSet, &device->data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE);

    ZeroMemory(data, units * sizeof(wchar_t));
    if (key == INVALID_HANDLE_VALUE)
        return REG_NONE;
    if (RegQueryValueExW(key, name, NULL, &type, (BYTE *)data, &bytes) != ERROR_SUCCESS)
        type = REG_NONE;
    RegCloseKey(key);
    if (type == REG_NONE)
        ZeroMemory(data, units * sizeof(wchar_t));
    return type;
}

/* What the installation left in the driver key: the INF copy and the device
   co-installers. TRUE when CoInstallers32 is the multi-string it must be. */
static BOOL ReportDriverKey(PrinterDevice *device, wchar_t *list)
{
    static wchar_t line[LIST_UNITS + 64];
    wchar_t infCopy[MAX_PATH];
    DWORD type = QueryDriverValue(device, L"CoInstallers32", list, LIST_UNITS);
    const wchar_t *entry;

    QueryDriverValue(device, L"InfPath", infCopy, MAX_PATH);
    Report(L"INF copy: %ls", infCopy[0] != L'\0' ? infCopy : L"none");
    if (type != REG_MULTI_SZ) {
        Report(type == REG_NONE ? L"CoInstallers32: none" : L"CoInstallers32: type %lu, not REG_MULTI_SZ",
               (unsigned long)type);
        return FALSE;
    }
    wcscpy(line, L"CoInstallers32 = REG_MULTI_SZ");
    for (entry = list; *entry != L'\0' && wcslen(line) + wcslen(entry) + 4 < LIST_UNITS + 64;
         entry += wcslen(entry) + 1) {
        wcscat(line, L" \"");
        wcscat(line, entry);
        wcscat(line, L"\"");
    }
    Report(L"%ls", line);
    return TRUE;
}

/* Under Wine: the call Windows makes after DIF_INSTALLDEVICE to each device
   co-installer of the driver key, last one first, each given the result so
   far; its answer becomes the installation's result. (Windows calls only
   those that asked for it, with their PrivateData; Wine's SetupAPI keeps
   neither, and this co-installer always asks.) */
static DWORD PostProcessDeviceCoInstallers(PrinterDevice *device, wchar_t *list, DWORD installResult)
{
    wchar_t *entries[MAX_COINSTALLERS];
    wchar_t *entry;
    int count = 0;

    for (entry = list; *entry != L'\0' && count < MAX_COINSTALLERS; entry += wcslen(entry) + 1)
        entries[count++] = entry;
    while (count > 0)
        installResult = PostProcess(device, entries[--count], installResult);
    return installResult;
}

int InstallPackage(const InstallerOptions *options)
{
    PrinterDevice device;
    wchar_t infPath[MAX_PATH];
    wchar_t hardwareId[DEVICE_TEXT_UNITS];
    static wchar_t coInstallers[LIST_UNITS];
    DWORD error = NO_ERROR, result, length;
    BOOL installed = FALSE, hasCoInstallers;

    ZeroMemory(&device, sizeof(device));
    device.hSet = INVALID_HANDLE_VALUE;
    /* The INF must be named by its full path and stay on disk while the set lives. */
    length = GetFullPathNameW(options->packageInf, MAX_PATH, infPath, NULL);
    if (length == 0 || length >= MAX_PATH || GetFileAttributesW(infPath) == INVALID_FILE_ATTRIBUTES) {
        Report(L"error: the INF %ls does not exist", options->packageInf);
        return EXIT_FAILED;
    }
    Report(L"package: %ls", infPath);
    if (options->hardwareIdGiven)
        lstrcpynW(hardwareId, options->hardwareId, DEVICE_TEXT_UNITS);
    else if (!ReadModelHardwareId(infPath, hardwareId, DEVICE_TEXT_UNITS))
        return EXIT_FAILED;

    if (PrepareDevice(&device, options, infPath, hardwareId)) {
        installed = CallDif(&device, DIF_INSTALLDEVICE, L"DIF_INSTALLDEVICE", &error);
        result = error;
        hasCoInstallers = ReportDriverKey(&device, coInstallers);
        if (RunningOnWine() && hasCoInstallers)
            result = PostProcessDeviceCoInstallers(&device, coInstallers, error);
        else if (RunningOnWine())
            Report(L"post-processing: no device co-installer to call");
        else
            Report(L"post-processing: made by SetupAPI within DIF_INSTALLDEVICE");
        Report(L"installation: %ls (0x%08lX)", result == NO_ERROR ? L"installed" : L"failed", (unsigned long)result);
        installed = installed && result == NO_ERROR;
        if (installed && !CallDif(&device, DIF_NEWDEVICEWIZARD_FINISHINSTALL, L"DIF_NEWDEVICEWIZARD_FINISHINSTALL",
                                  &error))
            installed = error == ERROR_DI_DO_DEFAULT;   /* no wizard pages to add: fine */
        Report(L"device left installed: %ls", device.instanceId);
    } else if (device.created) {
        /* A device that never got its driver is not left behind. */
        if (!CallDif(&device, DIF_REMOVE, L"DIF_REMOVE", &error))
            Report(L"error: the device %ls stays registered", device.instanceId);
        else
            Report(L"device removed");
    }
    FreeDevice(&device);
    return installed ? EXIT_OK : EXIT_FAILED;
}

int RemoveDevice(const InstallerOptions *options)
{
    PrinterDevice device;
    wchar_t infCopy[MAX_PATH];
    DWORD error = NO_ERROR;
    BOOL ok;

    ZeroMemory(&device, sizeof(device));
    device.data.cbSize = sizeof(device.data);
    device.hSet = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PRINTER, NULL);
    if (device.hSet == INVALID_HANDLE_VALUE ||
        !SetupDiOpenDeviceInfoW(device.hSet, options->deviceId, NULL, 0, &device.data)) {
        Report(L"error: no device %ls, error 0x%08lX", options->deviceId, (unsigned long)GetLastError());
        FreeDevice(&device);
        return EXIT_FAILED;
    }
    /* The name of its INF copy ("oem<N>.inf" on Windows) goes with the driver key. */
    QueryDriverValue(&device, L"InfPath", infCopy, MAX_PATH);
    ok = CallDif(&device, DIF_REMOVE, L"DIF_REMOVE", &error);
    if (ok)
        Report(L"device removed: %ls", options->deviceId);
    /* The device is gone, so nothing uses the copy any more. */
    if (ok && options->deleteInf && infCopy[0] != L'\0') {
        ok = SetupUninstallOEMInfW(infCopy, SUOI_FORCEDELETE, NULL);
        if (ok) {
            /* Windows deletes the precompiled copy (.pnf) with it; Wine leaves it. */
            wchar_t pnf[MAX_PATH + 16];
            UINT n = GetWindowsDirectoryW(pnf, MAX_PATH);
            Report(L"SetupUninstallOEMInf(%ls) = TRUE", infCopy);
            if (n > 0 && n < MAX_PATH && wcslen(infCopy) > 4) {
                _snwprintf(pnf + n, 15 + MAX_PATH - n, L"\\inf\\%.*ls.pnf", (int)(wcslen(infCopy) - 4), infCopy);
                pnf[MAX_PATH + 15] = L'\0';
                if (DeleteFileW(pnf))
                    Report(L"deleted %ls", pnf);
            }
        } else
            Report(L"SetupUninstallOEMInf(%ls) = FALSE, error 0x%08lX", infCopy, (unsigned long)GetLastError());
    } else if (ok && options->deleteInf) {
        Report(L"the device had no INF copy");
    }
    FreeDevice(&device);
    return ok ? EXIT_OK : EXIT_FAILED;
}

int UninstallPackage(const InstallerOptions *options)
{
    HINF inf;
    void *context;
    BOOL ok;

    Report(L"package: %ls", options->packageInf);
    inf = OpenInf(options->packageInf);
    if (inf == INVALID_HANDLE_VALUE)
        return EXIT_FAILED;
    /* SetupAPI installs a missing section as an empty one, without a word. */
    if (SetupGetLineCountW(inf, options->section) < 0) {
        Report(L"error: the INF has no section [%ls]", options->section);
        SetupCloseInfFile(inf);
        return EXIT_FAILED;
    }
    /* No owner window: the default callback asks nothing. */
    context = SetupInitDefaultQueueCallbackEx(NULL, (HWND)INVALID_HANDLE_VALUE, 0, 0, NULL);
    ok = SetupInstallFromInfSectionW(NULL, inf, options->section, SPINST_ALL, NULL, NULL, 0,
                                     SetupDefaultQueueCallbackW, context, NULL, NULL);
    if (ok)
        Report(L"SetupInstallFromInfSection(%ls, SPINST_ALL) = TRUE", options->section);
    else
        Report(L"SetupInstallFromInfSection(%ls, SPINST_ALL) = FALSE, error 0x%08lX", options->section,
               (unsigned long)GetLastError());
    if (context != NULL)
        SetupTermDefaultQueueCallback(context);
    SetupCloseInfFile(inf);
    return ok ? EXIT_OK : EXIT_FAILED;
}
