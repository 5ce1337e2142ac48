/*
 * device_installer: a stand-in for the device installer's calls to a printer
 * co-installer. It builds the printer device from an INF and a chosen model,
 * gives it a PortName, calls CoInstallerE(DIF_INSTALLDEVICE) on the way down
 * and, when asked, again in post-processing (Wine's SetupAPI never makes that
 * second call; Windows does), then removes the device again. With a driver
 * package it installs, removes and uninstalls as a device installer does
 * (package.cpp). Every mode runs quietly and bounded in time.
 */
#include <wchar.h>
#include "installer.h"
#include "notice.h"

const wchar_t g_programName[] = L"device_installer";

BOOL BuildReportedDevice(PrinterDevice *device, const InstallerOptions *options, const wchar_t *infPath,
                         const wchar_t *hardwareId)
{
    wchar_t model[DEVICE_TEXT_UNITS];
    BOOL ok = CreatePrinterDevice(device, infPath, hardwareId, options->portName, options->portForm);

    if (device->instanceId[0] != L'\0')
        Report(L"device: %ls", device->instanceId);
    if (!ok) {
        Report(L"error: %ls", device->error);
        return FALSE;
    }
    if (options->portForm == PORT_NAME_NONE)
        Report(L"port: none");
    else
        Report(L"port: %ls%ls", options->portName,
               options->portForm == PORT_NAME_UNTERMINATED ? L" (stored without terminator)" : L"");
    if (GetSelectedModel(device, model, DEVICE_TEXT_UNITS))
        Report(L"model: %ls", model);
    return TRUE;
}

BOOL RemoveReportedDevice(PrinterDevice *device)
{
    BOOL registered = device->registered;

    if (!RemovePrinterDevice(device)) {
        Report(L"error: %ls: the device %ls stays registered", device->error, device->instanceId);
        return FALSE;
    }
    if (registered)
        Report(L"device removed: %ls", device->instanceId);
    return TRUE;
}

DWORD CallCoInstaller(CoInstallerProc entry, const wchar_t *name, PrinterDevice *device,
                      COINSTALLER_CONTEXT_DATA *context)
{
    DWORD result = entry(DIF_INSTALLDEVICE, device->hSet, &device->data, context);

    if (context->PostProcessing)
        Report(L"%ls(DIF_INSTALLDEVICE, PostProcessing, InstallResult = 0x%08lX) = 0x%08lX", name,
               (unsigned long)context->InstallResult, (unsigned long)result);
    else
        Report(L"%ls(DIF_INSTALLDEVICE) = 0x%08lX", name, (unsigned long)result);
    return result;
}

/* The DLL's CoInstallerE called directly, as the device installer calls a
   device co-installer, and again in post-processing when asked (with the
   context of the first call, as Windows keeps it). */
static BOOL CallDllDirectly(const InstallerOptions *options, PrinterDevice *device)
{
    HMODULE library;
    wchar_t error[DEVICE_TEXT_UNITS];
    COINSTALLER_CONTEXT_DATA context;
    CoInstallerProc entry = LoadCoInstaller(options->coinstallerPath, L"CoInstallerE", &library, error);
    DWORD result;

    if (entry == NULL) {
        Report(L"error: %ls", error);
        return FALSE;
    }
    ZeroMemory(&context, sizeof(context));
    result = CallCoInstaller(entry, L"CoInstallerE", device, &context);
    if (result == ERROR_DI_POSTPROCESSING_REQUIRED && options->postProcessing) {
        context.PostProcessing = TRUE;
        context.InstallResult = options->installResult;
        ReportInstallation(CallCoInstaller(entry, L"CoInstallerE", device, &context));
    }
    FreeLibrary(library);
    return TRUE;
}

BOOL CallDif(PrinterDevice *device, DI_FUNCTION code, const wchar_t *name, DWORD *error)
{
    BOOL ok = SetupDiCallClassInstaller(code, device->hSet, &device->data);
    *error = ok ? NO_ERROR : GetLastError();
    if (ok)
        Report(L"SetupDiCallClassInstaller(%ls) = TRUE", name);
    else
        Report(L"SetupDiCallClassInstaller(%ls) = FALSE, error 0x%08lX", name, (unsigned long)*error);
    return ok;
}


/* The co-installer modes: the device from a test INF, one call of
   DIF_INSTALLDEVICE, and the device removed again. */
static int DriveCoInstaller(const InstallerOptions *options)
{
    PrinterDevice device;
    wchar_t infPath[MAX_PATH], infCopy[MAX_PATH];
    wchar_t text[DEVICE_TEXT_UNITS];
    DWORD error;
    BOOL ok, infWritten = FALSE, infCopied = FALSE;

    ZeroMemory(&device, sizeof(device));
    if (options->infPath != NULL) {
        lstrcpynW(infPath, options->infPath, MAX_PATH);
        if (GetFileAttributesW(infPath) == INVALID_FILE_ATTRIBUTES) {
            Report(L"error: the INF %ls does not exist", infPath);
            return EXIT_FAILED;
        }
    } else if (!GetTempPathW(DEVICE_TEXT_UNITS, text) || !GetTempFileNameW(text, L"prn", 0, infPath)) {
        Report(L"error: no temporary file for the INF, error %lu", (unsigned long)GetLastError());
        return EXIT_FAILED;
    } else if (!(infWritten = WriteModelInf(infPath, options->model, options->hardwareId, text,
                                            DEVICE_TEXT_UNITS))) {
        Report(L"error: %ls", text);
        DeleteFileW(infPath);
        return EXIT_FAILED;
    }
    /* Through the class installer, SetupAPI calls the class's co-installers;
       its answer is reported, not judged. */
    ok = BuildReportedDevice(&device, options, infPath, options->hardwareId);
    if (ok && options->viaClassInstaller)
        CallDif(&device, DIF_INSTALLDEVICE, L"DIF_INSTALLDEVICE", &error);
    else if (ok)
        ok = CallDllDirectly(options, &device);
    /* An installation through the class installer copies the generated INF
       into the INF folder: that copy is this run's alone and goes with it. */
    if (infWritten && options->viaClassInstaller && device.registered)
        infCopied = ReadInfPath(device.hSet, &device.data, infCopy, &error) == INF_PATH_READ;
    ok = RemoveReportedDevice(&device) && ok;
    if (infCopied)
        ok = DeleteInfCopy(infCopy) == EXIT_OK && ok;
    if (infWritten)
        DeleteFileW(infPath);
    return ok ? EXIT_OK : EXIT_FAILED;
}

static DWORD WINAPI RunMode(void *parameter)
{
    const InstallerOptions *options = (const InstallerOptions *)parameter;

    switch (options->mode) {
    case MODE_INSTALL_PACKAGE:
        return (DWORD)InstallPackage(options);
    case MODE_REMOVE_DEVICE:
        return (DWORD)RemoveDevice(options);
    case MODE_UNINSTALL_PACKAGE:
        return (DWORD)UninstallPackage(options);
    case MODE_CALL_COINSTALLER:
        return (DWORD)DriveCoInstaller(options);
    }
    return EXIT_FAILED;
}

int wmain(int argc, wchar_t **argv)
{
    InstallerOptions options;
    HANDLE thread;
    DWORD code = EXIT_FAILED;
    int usage = ParseArguments(argc, argv, &options);

    if (usage != 0)
        return usage;
    if (!OpenReport(options.logPath)) {
        Notice(L"cannot write the log file %ls", options.logPath);
        return EXIT_USAGE;
    }
    /* What would ask the user (a missing source file, a failed delete) fails
       with its error instead: nobody may be there to answer. */
    SetupSetNonInteractiveMode(TRUE);
    /* The mode on a thread of its own, waited for at most the time given: a
       co-installer may never return, and SetupAPI can loop for ever inside a
       copy. The thread's exit code is the mode's; it shares nothing else. */
    thread = CreateThread(NULL, 0, RunMode, &options, 0, NULL);
    if (thread == NULL) {
        Report(L"error: CreateThread failed, error %lu", (unsigned long)GetLastError());
    } else if (WaitForSingleObject(thread, options.timeoutSeconds * 1000) != WAIT_OBJECT_0) {
        /* What was made so far stays; the lines above name it. */
        Report(L"error: not done within %lu s (a co-installer that does not return, or a source file of "
               L"the package missing?); ended without waiting for it", (unsigned long)options.timeoutSeconds);
        Report(L"failed");
        EndTimedOut();
    } else if (!GetExitCodeThread(thread, &code)) {
        code = EXIT_FAILED;
    }
    Report(code == EXIT_OK ? L"done" : L"failed");
    CloseReport();
    return (int)code;
}
