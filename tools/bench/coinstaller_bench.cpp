/*
 * The co-installer's figure: the post-processing call of DIF_INSTALLDEVICE
 * (the whole default-printer procedure) with P print queues in the spooler
 * and H user hives under HKEY_USERS, against a floor making the same
 * SetupAPI, spooler and registry calls directly; and the same floor writing
 * as many debug-output lines as the co-installer traced. The real DLL is
 * loaded and called with a real device information set, as the device
 * installer does.
 *
 * Every queue uses the installed model; only the last in the spooler's
 * order is on the device's port, so the search walks the whole list. Every
 * hive made here knows that queue, so each gets its "Device" value written.
 */
#include <stdio.h>
#include "bench.h"
#include <winspool.h>
#include "device_setup.h"

#define CI_SIDE_COUNT  3
#define CI_MAX_QUEUES  500
#define CI_MAX_HIVES   100
#define CI_REPEATS     2
#define CI_UNITS       260

static const wchar_t *const kCiSides[CI_SIDE_COUNT] = { L"coinstaller", L"floor", L"floor_traced" };
static const int kQueueCounts[] = { 10, 100, 500 };
static const int kHiveCounts[] = { 2, 20, 100 };

static const wchar_t kModel[] = L"Bench Printer Model";
static const wchar_t kHardwareId[] = L"BENCH\\PRINTER_MODEL";
static const wchar_t kDevicePort[] = L"BENCH9:";
static const wchar_t kTargetQueue[] = L"zzz Bench Target";      /* last in the spooler's order */
static const wchar_t kDevicesValue[] = L"winspool,BENCH9:";
static const wchar_t kExpectedDevice[] = L"zzz Bench Target,winspool,BENCH9:";
static const wchar_t kHivePrefix[] = L"S-1-5-21-4242-4242-4242-";
static const wchar_t kDevicesPath[] = L"%s\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
static const wchar_t kWindowsPath[] = L"%s\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
static const wchar_t kFloorLine[] = L"BENCHFLR : floor trace line of a co-installer's length\n";

struct CoinstallerRun {
    HMODULE library;
    CoInstallerProc entry;
    PrinterDevice device;
    wchar_t infPath[MAX_PATH];
    BOOL driverAdded;
    int queues;          /* filler queues made, besides the target */
    BOOL targetAdded;
    int hives;
    int traceLines;      /* lines the co-installer traced for the current sizes */
};

static CoinstallerRun g_ci;
static volatile LONG g_countedLines = 0;

static LONG CALLBACK CountDebugLines(EXCEPTION_POINTERS *info)
{
    DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code == 0x40010006 || code == 0x4001000A)   /* DBG_PRINTEXCEPTION_C, _WIDE_C */
        InterlockedIncrement(&g_countedLines);
    return EXCEPTION_CONTINUE_SEARCH;
}

/* ---- the spooler and the hives ---- */

static BOOL AddQueue(const wchar_t *name, const wchar_t *port)
{
    DWORD error = AddSpoolerQueue(name, kModel, port);
    if (error != NO_ERROR)
        Notice(L"error: AddPrinter(%ls) failed (error %lu)", name, error);
    return error == NO_ERROR;
}

static void FillerName(int i, wchar_t *name, wchar_t *port)
{
    _snwprintf(name, 63, L"Bench Queue %03d", i);
    name[63] = L'\0';
    _snwprintf(port, 31, L"BENCHQ%03d:", i);
    port[31] = L'\0';
}

/* count filler queues plus the target. */
static BOOL QueuesUpTo(int count)
{
    wchar_t name[64], port[32];

    if (!g_ci.targetAdded) {
        if (!AddQueue(kTargetQueue, kDevicePort))
            return FALSE;
        g_ci.targetAdded = TRUE;
    }
    for (; g_ci.queues < count - 1; g_ci.queues++) {
        FillerName(g_ci.queues, name, port);
        if (!AddQueue(name, port))
            return FALSE;
    }
    return TRUE;
}

static void HiveName(int i, wchar_t *name)
{
    _snwprintf(name, 63, L"%ls%d", kHivePrefix, 1000 + i);
    name[63] = L'\0';
}

static BOOL SetString(HKEY root, const wchar_t *path, const wchar_t *name, const wchar_t *text)
{
    HKEY key;
    LONG rc = RegCreateKeyExW(root, path, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (rc != ERROR_SUCCESS) {
        Notice(L"error: RegCreateKeyEx(%ls) failed (%ld)", path, rc);
        return FALSE;
    }
    rc = RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text, (DWORD)((wcslen(text) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

static BOOL HivePaths(int i, wchar_t *devices, wchar_t *windows)
{
    wchar_t hive[64];
    HiveName(i, hive);
    _snwprintf(devices, CI_UNITS - 1, kDevicesPath, hive);
    devices[CI_UNITS - 1] = L'\0';
    _snwprintf(windows, CI_UNITS - 1, kWindowsPath, hive);
    windows[CI_UNITS - 1] = L'\0';
    return TRUE;
}

static BOOL HivesTo(int count)
{
    wchar_t devices[CI_UNITS], windows[CI_UNITS], hive[64];

    for (; g_ci.hives < count; g_ci.hives++) {
        HivePaths(g_ci.hives, devices, windows);
        if (!SetString(HKEY_USERS, devices, kTargetQueue, kDevicesValue) ||
            !SetString(HKEY_USERS, windows, L"Device", L"none"))
            return FALSE;
    }
    for (; g_ci.hives > count; g_ci.hives--) {
        HiveName(g_ci.hives - 1, hive);
        RegDeleteTreeW(HKEY_USERS, hive);
        RegDeleteKeyW(HKEY_USERS, hive);
    }
    return TRUE;
}

static BOOL ReadDevice(int i, wchar_t *text, DWORD units)
{
    wchar_t devices[CI_UNITS], windows[CI_UNITS];
    DWORD bytes = (units - 1) * sizeof(wchar_t);
    HKEY key;
    LONG rc;

    HivePaths(i, devices, windows);
    if (RegOpenKeyExW(HKEY_USERS, windows, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return FALSE;
    ZeroMemory(text, units * sizeof(wchar_t));
    rc = RegQueryValueExW(key, L"Device", NULL, NULL, (BYTE *)text, &bytes);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

/* ---- the two sides ---- */

static DWORD CallCoinstaller(void)
{
    COINSTALLER_CONTEXT_DATA context;
    ZeroMemory(&context, sizeof(context));
    context.PostProcessing = TRUE;
    context.InstallResult = NO_ERROR;
    return g_ci.entry(DIF_INSTALLDEVICE, g_ci.device.hSet, &g_ci.device.data, &context);
}

/* The platform calls the procedure makes, in its order, with nothing else. */
static BOOL FloorPostProcessing(BOOL traced)
{
    SP_DRVINFO_DATA_V2_W driverInfo;
    wchar_t path[CI_UNITS], userKey[CI_UNITS], full[CI_UNITS];
    wchar_t *instanceId, *portName = NULL;
    PRINTER_INFO_2W *printers = NULL;
    const wchar_t *found = NULL;
    DWORD length = 0, type, size = 0, needed = 0, returned = 0, index, nameLength;
    FILETIME lastWrite;
    HKEY key, users;

    ZeroMemory(&driverInfo, sizeof(driverInfo));
    driverInfo.cbSize = sizeof(driverInfo);
    if (!SetupDiGetSelectedDriverW(g_ci.device.hSet, &g_ci.device.data, &driverInfo))
        return FALSE;
    SetupDiGetDeviceInstanceIdW(g_ci.device.hSet, &g_ci.device.data, NULL, 0, &length);
    instanceId = (wchar_t *)GlobalAlloc(GMEM_FIXED, (length + 1) * sizeof(wchar_t));
    if (!instanceId || !SetupDiGetDeviceInstanceIdW(g_ci.device.hSet, &g_ci.device.data, instanceId, length, NULL))
        return FALSE;
    _snwprintf(path, CI_UNITS - 1, L"SYSTEM\\CurrentControlSet\\Enum\\%ls\\Device Parameters", instanceId);
    path[CI_UNITS - 1] = L'\0';
    GlobalFree(instanceId);

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return FALSE;
    RegQueryValueExW(key, L"PortName", NULL, &type, NULL, &size);
    portName = (wchar_t *)GlobalAlloc(GMEM_FIXED, size + sizeof(wchar_t));
    if (!portName || RegQueryValueExW(key, L"PortName", NULL, &type, (BYTE *)portName, &size) != ERROR_SUCCESS)
        return FALSE;
    portName[size / sizeof(wchar_t)] = L'\0';
    RegCloseKey(key);

    EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, NULL, 2, NULL, 0, &needed, &returned);
    printers = (PRINTER_INFO_2W *)GlobalAlloc(GMEM_FIXED, needed);
    if (!printers || !EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, NULL, 2, (BYTE *)printers,
                                    needed, &needed, &returned))
        return FALSE;
    for (DWORD i = 0; i < returned && !found; i++)
        if (lstrcmpiW(driverInfo.Description, printers[i].pDriverName) == 0 &&
            lstrcmpiW(portName, printers[i].pPortName) == 0)
            found = printers[i].pPrinterName;

    if (found && RegOpenKeyExW(HKEY_USERS, NULL, 0, KEY_ENUMERATE_SUB_KEYS, &users) == ERROR_SUCCESS) {
        for (index = 0;; index++) {
            nameLength = CI_UNITS;
            if (RegEnumKeyExW(users, index, userKey, &nameLength, NULL, NULL, NULL, &lastWrite) != ERROR_SUCCESS)
                break;
            _snwprintf(path, CI_UNITS - 1, kDevicesPath, userKey);
            path[CI_UNITS - 1] = L'\0';
            if (RegOpenKeyExW(HKEY_USERS, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
                continue;
            int used = _snwprintf(full, CI_UNITS - 1, L"%ls,", found);
            size = (DWORD)(260 - used * sizeof(wchar_t));
            LONG rc = RegQueryValueExW(key, found, NULL, &type, (BYTE *)(full + used), &size);
            RegCloseKey(key);
            if (rc != ERROR_SUCCESS)
                continue;
            _snwprintf(path, CI_UNITS - 1, kWindowsPath, userKey);
            if (RegOpenKeyExW(HKEY_USERS, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
                continue;
            RegSetValueExW(key, L"Device", 0, REG_SZ, (const BYTE *)full,
                           (DWORD)((wcslen(full) + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
        }
        RegCloseKey(users);
    }
    GlobalFree(printers);
    GlobalFree(portName);
    if (traced)
        for (int i = 0; i < g_ci.traceLines; i++)
            OutputDebugStringW(kFloorLine);
    return found != NULL;
}

/* ---- set-up, check, measurement ---- */

static BOOL PrepareDevice(void)
{
    wchar_t dir[MAX_PATH], path[BENCH_PATH_UNITS], error[DEVICE_TEXT_UNITS];
    DWORD code;

    _snwprintf(path, BENCH_PATH_UNITS - 1, L"%ls\\%ls.dll", g_bench.distDir, g_bench.coinstallerTag);
    path[BENCH_PATH_UNITS - 1] = L'\0';
    g_ci.entry = LoadCoInstaller(path, L"CoInstallerE", &g_ci.library, error);
    if (!g_ci.entry) {
        Notice(L"error: %ls", error);
        return FALSE;
    }
    GetTempPathW(MAX_PATH, dir);
    if (!GetTempFileNameW(dir, L"bch", 0, g_ci.infPath) ||
        !WriteModelInf(g_ci.infPath, kModel, kHardwareId, error, DEVICE_TEXT_UNITS)) {
        Notice(L"error: cannot write the INF");
        return FALSE;
    }
    if (!CreatePrinterDevice(&g_ci.device, g_ci.infPath, kHardwareId, kDevicePort, PORT_NAME_TERMINATED)) {
        Notice(L"error: printer device: %ls", g_ci.device.error);
        return FALSE;
    }
    if ((code = AddSpoolerDriver(kModel)) != NO_ERROR) {
        Notice(L"error: AddPrinterDriverEx failed (error %lu)", code);
        return FALSE;
    }
    g_ci.driverAdded = TRUE;
    return TRUE;
}

static void CleanUp(void)
{
    wchar_t name[64], port[32];

    HivesTo(0);
    for (int i = 0; i < g_ci.queues; i++) {
        FillerName(i, name, port);
        DeleteSpoolerQueue(name);
    }
    if (g_ci.targetAdded)
        DeleteSpoolerQueue(kTargetQueue);
    if (g_ci.driverAdded)
        DeletePrinterDriverW(NULL, NULL, (wchar_t *)kModel);
    RemovePrinterDevice(&g_ci.device);
    if (g_ci.infPath[0])
        DeleteFileW(g_ci.infPath);
    if (g_ci.library)
        FreeLibrary(g_ci.library);
}

/* One call of each side that must leave every hive made here with the
   expected "Device"; the co-installer's call also counts its trace lines. */
static BOOL CheckSides(int queues, int hives)
{
    wchar_t text[CI_UNITS];
    PVOID handler;

    for (int side = 0; side < 2; side++) {
        for (int i = 0; i < g_ci.hives; i++) {
            wchar_t devices[CI_UNITS], windows[CI_UNITS];
            HivePaths(i, devices, windows);
            SetString(HKEY_USERS, windows, L"Device", L"none");
        }
        if (side == 0) {
            g_countedLines = 0;
            handler = AddVectoredExceptionHandler(1, CountDebugLines);
            CallCoinstaller();
            RemoveVectoredExceptionHandler(handler);
            g_ci.traceLines = (int)g_countedLines;
        } else if (!FloorPostProcessing(FALSE)) {
            Notice(L"error: floor: the target queue was not found with %d queues", queues);
            return FALSE;
        }
        for (int i = 0; i < g_ci.hives; i++)
            if (!ReadDevice(i, text, CI_UNITS) || wcscmp(text, kExpectedDevice) != 0) {
                Notice(L"error: %ls with %d queues and %d hives: hive %d has Device \"%ls\"",
                           kCiSides[side], queues, hives, i, text);
                return FALSE;
            }
    }
    Notice(L"co-installer: %d queues x %d hives: %d trace lines per call", queues, hives, g_ci.traceLines);
    return TRUE;
}

static BOOL TimeSide(int side, double *us)
{
    LONGLONG t0 = Now();
    for (int i = 0; i < CI_REPEATS; i++) {
        if (side == 0)
            CallCoinstaller();
        else if (!FloorPostProcessing(side == 2))
            return FALSE;
    }
    *us = MicrosecondsSince(t0) / CI_REPEATS;
    return TRUE;
}

static BOOL MeasureSizes(int queues, int hives)
{
    double us;
    int x = queues * 1000 + hives;   /* the group's x: P and H in one number */

    if (!CheckSides(queues, hives))
        return FALSE;
    for (int side = 0; side < CI_SIDE_COUNT; side++)
        if (!TimeSide(side, &us))
            return FALSE;
    for (int round = 0; round < g_bench.rounds; round++)
        for (int k = 0; k < CI_SIDE_COUNT; k++) {
            int side = (round + k) % CI_SIDE_COUNT;
            if (!TimeSide(side, &us))
                return FALSE;
            PrintRound(L"coinstaller", x, kCiSides[side], round, us);
        }
    return TRUE;
}

int BenchCoinstaller(void)
{
    BOOL ok;
    int queueSizes = g_bench.quick ? 2 : 3;
    int hiveSizes = g_bench.quick ? 2 : 3;

    ZeroMemory(&g_ci, sizeof(g_ci));
    g_ci.device.hSet = INVALID_HANDLE_VALUE;
    ok = PrepareDevice();
    for (int p = 0; ok && p < queueSizes; p++) {
        LONGLONG t0 = Now();
        ok = QueuesUpTo(kQueueCounts[p]);
        Notice(L"co-installer: %d queues made in %.1f s", kQueueCounts[p], MicrosecondsSince(t0) / 1e6);
        for (int h = 0; ok && h < hiveSizes; h++)
            ok = HivesTo(kHiveCounts[h]) && MeasureSizes(kQueueCounts[p], kHiveCounts[h]);
    }
    CleanUp();
    return ok ? BENCH_OK : BENCH_FAILED;
}
