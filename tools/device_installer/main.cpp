/*
 * device_installer: a stand-in for the device installer's calls to a printer
 * co-installer. It builds the printer device from an INF and a chosen model,
 * gives it a PortName, calls CoInstallerE(DIF_INSTALLDEVICE) on the way down
 * and, when asked, again in post-processing (Wine's SetupAPI never makes that
 * second call; Windows does), then removes the device again. With a driver
 * package it installs, removes and uninstalls as a device installer does
 * (package.cpp).
 */
#include <stdio.h>
#include <wchar.h>
#include "installer.h"
#include "notice.h"

const wchar_t g_programName[] = L"device_installer";

typedef DWORD (CALLBACK *CoInstallerProc)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA);

/* Calls the DLL's CoInstallerE directly, as the device installer does for a
   device co-installer. */
static BOOL CallCoInstaller(const InstallerOptions *options, PrinterDevice *device)
{
    HMODULE library = LoadLibraryW(options->coinstallerPath);
    CoInstallerProc entry;
    COINSTALLER_CONTEXT_DATA context;
    DWORD result;

    if (library == NULL) {
        Report(L"error: LoadLibrary(%ls) failed, error %lu", options->coinstallerPath,
               (unsigned long)GetLastError());
        return FALSE;
    }
    entry = (CoInstallerProc)(void *)GetProcAddress(library, "CoInstallerE");
    if (entry == NULL) {
        Report(L"error: %ls has no export CoInstallerE", options->coinstallerPath);
        FreeLibrary(library);
        return FALSE;
    }
    ZeroMemory(&context, sizeof(context));
    result = entry(DIF_INSTALLDEVICE, device->hSet, &device->data, &context);
    Report(L"CoInstallerE(DIF_INSTALLDEVICE) = 0x%08lX", (unsigned long)result);
    if (result == ERROR_DI_POSTPROCESSING_REQUIRED && options->postProcessing) {
        context.PostProcessing = TRUE;
        context.InstallResult = options->installResult;
        result = entry(DIF_INSTALLDEVICE, device->hSet, &device->data, &context);
        Report(L"CoInstallerE(DIF_INSTALLDEVICE, PostProcessing, InstallResult = %lu) = 0x%08lX",
               (unsigned long)options->installResult, (unsigned long)result);
        /* The device installer passes the co-installer's answer on as the
           installation's result. */
        Report(L"installation: %ls (0x%08lX)", result == NO_ERROR ? L"installed" : L"failed",
               (unsigned long)result);
    }
    FreeLibrary(library);
    return TRUE;
}

/* Lets SetupAPI call the co-installers registered for the device's class. */
static BOOL CallClassInstaller(PrinterDevice *device)
{
    BOOL ok = SetupDiCallClassInstaller(DIF_INSTALLDEVICE, device->hSet, &device->data);
    if (ok)
        Report(L"SetupDiCallClassInstaller(DIF_INSTALLDEVICE) = TRUE");
    else
        Report(L"SetupDiCallClassInstaller(DIF_INSTALLDEVICE) = FALSE, error 0x%08lX",
               (unsigned long)GetLastError());
    return TRUE;
}

struct BoundedRun {
    int (*routine)(const InstallerOptions *);
    const InstallerOptions *options;
    int exitCode;
};

static DWORD WINAPI RunPackageMode(void *parameter)
{
    BoundedRun *run = (BoundedRun *)parameter;
    run->exitCode = run->routine(run->options);
    return 0;
}

/* A package mode on a thread of its own, waited for at most the time given:
   SetupAPI can loop for ever inside a copy. */
static int RunBounded(const InstallerOptions *options)
{
    BoundedRun run;
    HANDLE thread;

    run.routine = options->mode == MODE_INSTALL_PACKAGE ? InstallPackage :
                  options->mode == MODE_REMOVE_DEVICE ? RemoveDevice : UninstallPackage;
    run.options = options;
    run.exitCode = EXIT_FAILED;
    thread = CreateThread(NULL, 0, RunPackageMode, &run, 0, NULL);
    if (thread == NULL) {
        Report(L"error: CreateThread failed, error %lu", (unsigned long)GetLastError());
        return EXIT_FAILED;
    }
    if (WaitForSingleObject(thread, options->timeoutSeconds * 1000) != WAIT_OBJECT_0) {
        /* What was made so far stays; the lines above name it. */
        Report(L"error: not done within %lu s (is a source file of the package missing?)",
               (unsigned long)options->timeoutSeconds);
        return EXIT_FAILED;
    }
    CloseHandle(thread);
    return run.exitCode;
}

int wmain(int argc, wchar_t **argv)
{
    InstallerOptions options;
    PrinterDevice device;
    wchar_t infPath[MAX_PATH];
    wchar_t model[DEVICE_TEXT_UNITS];
    wchar_t error[DEVICE_TEXT_UNITS];
    BOOL infWritten = FALSE;
    BOOL ok = TRUE;
    int usage = ParseArguments(argc, argv, &options);

    if (usage != 0)
        return usage;
    if (!OpenReport(options.logPath)) {
        Notice(L"cannot write the log file %ls", options.logPath);
        return EXIT_USAGE;
    }
    if (options.mode != MODE_COINSTALLER && options.mode != MODE_CLASS_INSTALLER) {
        int code = RunBounded(&options);
        Report(code == EXIT_OK ? L"done" : L"failed");
        CloseReport();
        /* A timed-out thread is still inside SetupAPI: end without waiting for it. */
        ExitProcess((UINT)code);
    }
    ZeroMemory(&device, sizeof(device));
    device.hSet = INVALID_HANDLE_VALUE;

    if (options.infPath != NULL) {
        lstrcpynW(infPath, options.infPath, MAX_PATH);
        if (GetFileAttributesW(infPath) == INVALID_FILE_ATTRIBUTES) {
            Report(L"error: the INF %ls does not exist", infPath);
            ok = FALSE;
        }
    } else {
        wchar_t dir[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        ok = GetTempFileNameW(dir, L"prn", 0, infPath) != 0;
        if (!ok)
            Report(L"error: no temporary file for the INF, error %lu", (unsigned long)GetLastError());
        else if (!(infWritten = WriteModelInf(infPath, options.model, options.hardwareId, error,
                                              DEVICE_TEXT_UNITS))) {
            Report(L"error: %ls", error);
            DeleteFileW(infPath);
            ok = FALSE;
        }
    }

    if (ok && !CreatePrinterDevice(&device, infPath, options.hardwareId)) {
        Report(L"error: %ls", device.error);
        ok = FALSE;
    }
    if (ok) {
        Report(L"device: %ls", device.instanceId);
        if (GetSelectedModel(&device, model, DEVICE_TEXT_UNITS))
            Report(L"model: %ls", model);
        if (!SetDevicePortName(&device, options.portName, options.portForm)) {
            Report(L"error: %ls", device.error);
            ok = FALSE;
        } else if (options.portForm == PORT_NAME_NONE) {
            Report(L"port: none");
        } else {
            Report(L"port: %ls%ls", options.portName,
                   options.portForm == PORT_NAME_UNTERMINATED ? L" (stored without terminator)" : L"");
        }
    }
    if (ok)
        ok = options.viaClassInstaller ? CallClassInstaller(&device) : CallCoInstaller(&options, &device);

    if (device.hSet != INVALID_HANDLE_VALUE) {
        BOOL hadDevice = device.created;
        if (!RemovePrinterDevice(&device)) {
            Report(L"error: %ls", device.error);
            ok = FALSE;
        } else if (hadDevice) {
            Report(L"device removed");
        }
    }
    if (infWritten)
        DeleteFileW(infPath);
    Report(ok ? L"done" : L"failed");
    CloseReport();
    return ok ? EXIT_OK : EXIT_FAILED;
}
