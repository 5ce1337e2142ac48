/*
 * The device_installer tool: what the command line asks for, and the lines
 * it reports (to its console and, when asked, to a log file).
 */
#ifndef INSTALLER_H
#define INSTALLER_H

#include <windows.h>
#include "device_setup.h"

/* What the tool does: drive one co-installer call for a test INF (the
   first; viaClassInstaller says through what), or work with a real driver
   package the way a device installer does. */
enum InstallerMode {
    MODE_CALL_COINSTALLER,      /* --coinstaller DLL or --class-installer */
    MODE_INSTALL_PACKAGE,       /* --install-package INF */
    MODE_REMOVE_DEVICE,         /* --remove-device ID */
    MODE_UNINSTALL_PACKAGE      /* --uninstall-package INF */
};

struct InstallerOptions {
    InstallerMode mode;
    const wchar_t *packageInf;        /* the package's INF (install and uninstall) */
    const wchar_t *deviceId;          /* instance ID of the device to remove */
    const wchar_t *section;           /* uninstall section */
    BOOL deleteInf;                   /* with the device, remove its INF copy */
    BOOL hardwareIdGiven;             /* else the package's is read from its INF */
    DWORD timeoutSeconds;             /* bound of the mode's work */
    const wchar_t *coinstallerPath;   /* DLL to load and call directly */
    BOOL viaClassInstaller;           /* let SetupDiCallClassInstaller call the co-installers */
    const wchar_t *model;             /* model line of the generated INF */
    const wchar_t *infPath;           /* an INF of the caller's instead */
    const wchar_t *hardwareId;
    const wchar_t *portName;
    PortNameForm portForm;
    BOOL postProcessing;              /* make the post-processing call */
    DWORD installResult;              /* InstallResult of that call */
    const wchar_t *logPath;
};

#define EXIT_OK        0
#define EXIT_FAILED    1
#define EXIT_USAGE     2
#define EXIT_TIMED_OUT 3

/* arguments.cpp: 0 when the options are usable, else the exit code (usage
   already shown). */
int ParseArguments(int argc, wchar_t **argv, InstallerOptions *options);
void ShowUsage(void);

/* package.cpp: the package modes; each returns the exit code. */
int InstallPackage(const InstallerOptions *options);
int RemoveDevice(const InstallerOptions *options);
int UninstallPackage(const InstallerOptions *options);

/* The name of the INF copy a device's driver was installed from (its driver
   key's InfPath). NONE: the device has no driver (no driver key, or no
   value); UNREADABLE: the key or value could not be read, error given. */
enum InfPathRead { INF_PATH_NONE, INF_PATH_READ, INF_PATH_UNREADABLE };
InfPathRead ReadInfPath(HDEVINFO set, SP_DEVINFO_DATA *device, wchar_t *name, DWORD *error);
/* The INF copy in the INF folder, deleted unless another device was installed
   from it or that cannot be told; the exit code. */
int DeleteInfCopy(const wchar_t *infCopy);

/* main.cpp, each step reported: the device of every mode built (FALSE:
   what was made is left for RemoveReportedDevice) and removed again; a
   request through the class installer (its error in *error); a
   co-installer called for DIF_INSTALLDEVICE, on the way down or in
   post-processing as the context says. */
BOOL BuildReportedDevice(PrinterDevice *device, const InstallerOptions *options, const wchar_t *infPath,
                         const wchar_t *hardwareId);
BOOL RemoveReportedDevice(PrinterDevice *device);
BOOL CallDif(PrinterDevice *device, DI_FUNCTION code, const wchar_t *name, DWORD *error);
DWORD CallCoInstaller(CoInstallerProc entry, const wchar_t *name, PrinterDevice *device,
                      COINSTALLER_CONTEXT_DATA *context);

/* report.cpp: the report; a timed-out run ends with EndTimedOut, which
   leaves the log open for a worker that may still write and runs no DLL's
   detach code. */
BOOL OpenReport(const wchar_t *logPath);
void Report(const wchar_t *format, ...);
void ReportInstallation(DWORD result);
void CloseReport(void);
void EndTimedOut(void);

#endif /* INSTALLER_H */
