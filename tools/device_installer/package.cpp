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

/* Wine's SetupAPI never makes the post-processing call; Windows' does, and
   must not get a second one. */
static BOOL RunningOnWine(void)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
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
   section, and its NTamd64 decoration (NTamd64 alone or with an OS version,
   NTamd64.10.0...) is the one 64-bit Windows reads, else the undecorated
   one: the toolkit's package reader chooses the same. */
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
            _wcsnicmp(decoration, L"NTamd64", 7) == 0 && (decoration[7] == L'\0' || decoration[7] == L'.')) {
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

/* The package's INF by its full path: a bare name is in the current folder. */
static BOOL PackagePath(const wchar_t *given, wchar_t *path)
{
    DWORD length = GetFullPathNameW(given, MAX_PATH, path, NULL);

    if (length == 0 || length >= MAX_PATH || GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        Report(L"error: the INF %ls does not exist", given);
        return FALSE;
    }
    Report(L"package: %ls", path);
    return TRUE;
}

/* One CoInstallers32 entry, "DLL[,export]", called in post-processing; a DLL
   without a path is in the system folder, as the device installer has it. */
static DWORD PostProcess(PrinterDevice *device, wchar_t *entry, DWORD installResult)
{
    wchar_t path[MAX_PATH], error[DEVICE_TEXT_UNITS];
    wchar_t *comma = wcschr(entry, L',');
    const wchar_t *entryPoint = L"CoDeviceInstall";
    HMODULE library;
    CoInstallerProc routine;
    COINSTALLER_CONTEXT_DATA context;
    UINT n;

    if (comma != NULL) {
        *comma = L'\0';
        entryPoint = comma + 1;
    }
    if (wcschr(entry, L'\\') != NULL || wcschr(entry, L':') != NULL) {
        lstrcpynW(path, entry, MAX_PATH);
    } else if ((n = GetSystemDirectoryW(path, MAX_PATH)) == 0 || n + 1 + wcslen(entry) >= MAX_PATH) {
        Report(L"error: no room for the path of %ls", entry);
        return installResult;
    } else {
        wcscat(path, L"\\");
        wcscat(path, entry);
    }
    Report(L"post-processing: %ls %ls", path, entryPoint);
    routine = LoadCoInstaller(path, entryPoint, &library, error);
    if (routine == NULL) {
        Report(L"error: %ls", error);
        return installResult;
    }
    ZeroMemory(&context, sizeof(context));
    context.PostProcessing = TRUE;
    context.InstallResult = installResult;
    installResult = CallCoInstaller(routine, entryPoint, device, &context);
    FreeLibrary(library);
    return installResult;
}

/* A string value of the device's driver key, zero-filled behind (a
   multi-string ends in two zeros); returns its type, REG_NONE when missing. */
static DWORD QueryDriverValue(HDEVINFO set, SP_DEVINFO_DATA *device, const wchar_t *name, wchar_t *data,
                              DWORD units)
{
    DWORD type = REG_NONE, bytes = (units - 2) * sizeof(wchar_t);
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE);

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
    DWORD type = QueryDriverValue(device->hSet, &device->data, L"CoInstallers32", list, LIST_UNITS);
    const wchar_t *entry;

    QueryDriverValue(device->hSet, &device->data, L"InfPath", infCopy, MAX_PATH);
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

/* After DIF_INSTALLDEVICE (whose error is given): under Wine, the call
   Windows makes to each device co-installer of the driver key, last one
   first, each given the result so far. (Windows calls only those that asked
   for it, with their PrivateData; Wine's SetupAPI keeps neither, and this
   co-installer always asks.) The last answer is the installation's result. */
static DWORD PostProcessDeviceCoInstallers(PrinterDevice *device, DWORD installResult)
{
    static wchar_t list[LIST_UNITS];
    wchar_t *entries[MAX_COINSTALLERS];
    wchar_t *entry;
    int count = 0;
    BOOL listed = ReportDriverKey(device, list);

    if (!RunningOnWine()) {
        Report(L"post-processing: made by SetupAPI within DIF_INSTALLDEVICE");
        return installResult;
    }
    if (!listed)
        Report(L"post-processing: no device co-installer to call");
    for (entry = list; listed && *entry != L'\0' && count < MAX_COINSTALLERS; entry += wcslen(entry) + 1)
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
    DWORD error = NO_ERROR;
    BOOL installed = FALSE, finished;

    /* The INF must be named by its full path and stay on disk while the set lives. */
    if (!PackagePath(options->packageInf, infPath))
        return EXIT_FAILED;
    if (options->hardwareIdGiven)
        lstrcpynW(hardwareId, options->hardwareId, DEVICE_TEXT_UNITS);
    else if (!ReadModelHardwareId(infPath, hardwareId, DEVICE_TEXT_UNITS))
        return EXIT_FAILED;

    /* FALSE with ERROR_DI_DO_DEFAULT: no installer objects, go on. */
    if (BuildReportedDevice(&device, options, infPath, hardwareId) &&
        (CallDif(&device, DIF_ALLOW_INSTALL, L"DIF_ALLOW_INSTALL", &error) || error == ERROR_DI_DO_DEFAULT) &&
        CallDif(&device, DIF_INSTALLDEVICEFILES, L"DIF_INSTALLDEVICEFILES", &error) &&
        CallDif(&device, DIF_REGISTER_COINSTALLERS, L"DIF_REGISTER_COINSTALLERS", &error) &&
        CallDif(&device, DIF_INSTALLINTERFACES, L"DIF_INSTALLINTERFACES", &error)) {
        CallDif(&device, DIF_INSTALLDEVICE, L"DIF_INSTALLDEVICE", &error);
        error = PostProcessDeviceCoInstallers(&device, error);
        ReportInstallation(error);
        installed = error == NO_ERROR;
    }
    if (!installed) {
        /* A device that did not get its driver is not left behind. */
        RemoveReportedDevice(&device);
        return EXIT_FAILED;
    }
    /* ERROR_DI_DO_DEFAULT: no wizard pages to add, fine. */
    finished = CallDif(&device, DIF_NEWDEVICEWIZARD_FINISHINSTALL, L"DIF_NEWDEVICEWIZARD_FINISHINSTALL", &error) ||
               error == ERROR_DI_DO_DEFAULT;
    Report(L"device left installed: %ls", device.instanceId);
    FreePrinterDevice(&device);
    return finished ? EXIT_OK : EXIT_FAILED;
}

InfPathRead ReadInfPath(HDEVINFO set, SP_DEVINFO_DATA *device, wchar_t *name, DWORD *error)
{
    DWORD type = REG_NONE, bytes = (MAX_PATH - 1) * sizeof(wchar_t);
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE);
    LONG status;

    ZeroMemory(name, MAX_PATH * sizeof(wchar_t));
    if (key == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return *error == ERROR_KEY_DOES_NOT_EXIST || *error == ERROR_FILE_NOT_FOUND ? INF_PATH_NONE
                                                                                    : INF_PATH_UNREADABLE;
    }
    status = RegQueryValueExW(key, L"InfPath", NULL, &type, (BYTE *)name, &bytes);
    RegCloseKey(key);
    *error = status == ERROR_SUCCESS && type != REG_SZ ? ERROR_INVALID_DATATYPE : (DWORD)status;
    if (*error == ERROR_SUCCESS)
        return INF_PATH_READ;
    ZeroMemory(name, MAX_PATH * sizeof(wchar_t));
    return *error == ERROR_FILE_NOT_FOUND ? INF_PATH_NONE : INF_PATH_UNREADABLE;
}

/* Whether another device's driver was installed from the INF copy (present
   or not, as Windows counts them): its instance ID goes to detail, or why
   that cannot be told. */
enum InfCopyUse { INF_COPY_UNUSED, INF_COPY_USED, INF_COPY_UNKNOWN };

static InfCopyUse CheckInfCopyUse(const wchar_t *infCopy, wchar_t *detail)
{
    HDEVINFO all = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data;
    wchar_t used[MAX_PATH], id[DEVICE_TEXT_UNITS];
    InfCopyUse use = INF_COPY_UNUSED;
    InfPathRead read;
    DWORD i, error = NO_ERROR;

    detail[0] = L'\0';
    if (all == INVALID_HANDLE_VALUE) {
        _snwprintf(detail, DEVICE_TEXT_UNITS - 1, L"SetupDiGetClassDevs failed, error 0x%08lX",
                   (unsigned long)GetLastError());
        return INF_COPY_UNKNOWN;
    }
    data.cbSize = sizeof(data);
    for (i = 0; use == INF_COPY_UNUSED && SetupDiEnumDeviceInfo(all, i, &data); i++) {
        read = ReadInfPath(all, &data, used, &error);
        if (read == INF_PATH_READ && _wcsicmp(used, infCopy) == 0)
            use = INF_COPY_USED;
        else if (read == INF_PATH_UNREADABLE && error != ERROR_MORE_DATA)   /* longer: another name */
            use = INF_COPY_UNKNOWN;
        else
            continue;
        if (!SetupDiGetDeviceInstanceIdW(all, &data, id, DEVICE_TEXT_UNITS, NULL))
            _snwprintf(id, DEVICE_TEXT_UNITS - 1, L"number %lu of the list (its instance ID unreadable, "
                       L"error 0x%08lX)", (unsigned long)i, (unsigned long)GetLastError());
        id[DEVICE_TEXT_UNITS - 1] = L'\0';
        if (use == INF_COPY_USED)
            lstrcpynW(detail, id, DEVICE_TEXT_UNITS);
        else
            _snwprintf(detail, DEVICE_TEXT_UNITS - 1, L"the driver key of the device %ls cannot be read, "
                       L"error 0x%08lX", id, (unsigned long)error);
    }
    /* The list ends with ERROR_NO_MORE_ITEMS; any other error leaves devices unseen. */
    if (use == INF_COPY_UNUSED && (error = GetLastError()) != ERROR_NO_MORE_ITEMS) {
        _snwprintf(detail, DEVICE_TEXT_UNITS - 1, L"SetupDiEnumDeviceInfo(%lu) failed, error 0x%08lX",
                   (unsigned long)i, (unsigned long)error);
        use = INF_COPY_UNKNOWN;
    }
    detail[DEVICE_TEXT_UNITS - 1] = L'\0';
    SetupDiDestroyDeviceInfoList(all);
    return use;
}

int DeleteInfCopy(const wchar_t *infCopy)
{
    wchar_t detail[DEVICE_TEXT_UNITS], pnf[MAX_PATH + 16];
    InfCopyUse use = CheckInfCopyUse(infCopy, detail);
    UINT n;

    if (use == INF_COPY_USED) {
        Report(L"error: the INF copy %ls stays: the device %ls was installed from it too", infCopy, detail);
        return EXIT_FAILED;
    }
    if (use == INF_COPY_UNKNOWN) {
        Report(L"error: the INF copy %ls stays: cannot tell whether another device was installed from it (%ls)",
               infCopy, detail);
        return EXIT_FAILED;
    }
    /* No other device uses it (checked above): forced, since Wine's SetupAPI
       deletes nothing otherwise. */
    if (!SetupUninstallOEMInfW(infCopy, SUOI_FORCEDELETE, NULL)) {
        Report(L"SetupUninstallOEMInf(%ls) = FALSE, error 0x%08lX", infCopy, (unsigned long)GetLastError());
        return EXIT_FAILED;
    }
    Report(L"SetupUninstallOEMInf(%ls) = TRUE", infCopy);
    /* Windows deletes the precompiled copy (.pnf) with it; Wine leaves it. */
    n = GetWindowsDirectoryW(pnf, MAX_PATH);
    if (n > 0 && n < MAX_PATH && wcslen(infCopy) > 4) {
        _snwprintf(pnf + n, 15 + MAX_PATH - n, L"\\inf\\%.*ls.pnf", (int)(wcslen(infCopy) - 4), infCopy);
        pnf[MAX_PATH + 15] = L'\0';
        if (DeleteFileW(pnf))
            Report(L"deleted %ls", pnf);
    }
    return EXIT_OK;
}

int RemoveDevice(const InstallerOptions *options)
{
    PrinterDevice device;
    wchar_t infCopy[MAX_PATH];
    DWORD error;
    InfPathRead read;

    if (!OpenPrinterDevice(&device, options->deviceId)) {
        Report(L"error: no device %ls: %ls", options->deviceId, device.error);
        FreePrinterDevice(&device);
        return EXIT_FAILED;
    }
    /* The name of its INF copy ("oem<N>.inf" on Windows) goes with the driver
       key. When it cannot be read, --delete-inf keeps the device: removed, it
       would leave a copy nobody can name any more. */
    read = ReadInfPath(device.hSet, &device.data, infCopy, &error);
    if (options->deleteInf && read == INF_PATH_UNREADABLE) {
        Report(L"error: the device's INF copy cannot be named: its driver key's InfPath cannot be read, error 0x%08lX",
               (unsigned long)error);
        FreePrinterDevice(&device);
        return EXIT_FAILED;
    }
    if (!RemoveReportedDevice(&device))
        return EXIT_FAILED;
    if (!options->deleteInf)
        return EXIT_OK;
    if (read == INF_PATH_NONE) {
        Report(L"the device had no INF copy");
        return EXIT_OK;
    }
    return DeleteInfCopy(infCopy);
}

int UninstallPackage(const InstallerOptions *options)
{
    wchar_t infPath[MAX_PATH];
    HINF inf;
    void *context;
    BOOL ok;

    if (!PackagePath(options->packageInf, infPath) || (inf = OpenInf(infPath)) == INVALID_HANDLE_VALUE)
        return EXIT_FAILED;
    /* SetupAPI installs a missing section as an empty one, without a word. */
    if (SetupGetLineCountW(inf, options->section) < 0) {
        Report(L"error: the INF has no section [%ls]", options->section);
        SetupCloseInfFile(inf);
        return EXIT_FAILED;
    }
    /* No progress window; in the non-interactive mode the default callback
       fails where it would ask. */
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
