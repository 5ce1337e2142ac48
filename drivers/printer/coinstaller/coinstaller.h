/*
 * Declarations shared inside the printer co-installer: the build tag, the
 * trace, the entry's request names, and the two halves of the default-printer
 * procedure (locating the installed queue, writing it into every user hive).
 */
#ifndef COINSTALLER_H
#define COINSTALLER_H

#include <windows.h>
#include <setupapi.h>
#include <winspool.h>

#ifdef COINSTALLER_TEST_SEAMS
#include "coinstaller_seams.h"   /* test build only: counting and failing platform calls */
#endif

/* BUILD_TAG is a bare word given by the build, e.g. HELDRAVO. */
#define COINST_WIDEN2(x) L##x
#define COINST_WIDEN(x) COINST_WIDEN2(x)
#define COINST_STR2(x) #x
#define COINST_STR(x) COINST_STR2(x)
#define TAG COINST_WIDEN(COINST_STR(BUILD_TAG))

#define TRACE_LINE_UNITS      2000
#define NAME_UNITS            260     /* model name, user key name, key paths */
#define FULL_NAME_BYTES       260     /* room GetFullPrinterName fills in its destination */
#define DIF_CODE_NAME_COUNT   40      /* codes 0..39 have a table entry */

/* entry.cpp */
void DebugTrace(const wchar_t *format, ...);
const wchar_t *DifCodeName(DI_FUNCTION code);
extern "C" DWORD CALLBACK CoInstallerE(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                       PSP_DEVINFO_DATA DeviceInfoData,
                                       PCOINSTALLER_CONTEXT_DATA Context);

/* key_path.cpp: bounded path formatting; ERROR_FILENAME_EXCED_RANGE when it does not fit */
DWORD FormatKeyPath(wchar_t *path, int units, const wchar_t *format, const wchar_t *name);

/* printer_lookup.cpp: the working data of one run, released in one place */
struct PrinterSearch {
    wchar_t strModelName[NAME_UNITS];
    wchar_t strParametersPath[NAME_UNITS];
    wchar_t *strPortName;          /* global-memory block, or NULL */
    PRINTER_INFO_2W *pPrinters;    /* global-memory block, or NULL */
    DWORD nNbPrinters;
    HKEY hUsersKey;                /* HKEY_USERS enumeration key, or NULL */
};

DWORD GetPrinterModelName(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                          wchar_t *strModelName);
DWORD GetDeviceParametersPath(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                              wchar_t *strPath);
DWORD GetDevicePortName(const wchar_t *strPath, wchar_t **pstrPortName);
DWORD GetPrinterList(PRINTER_INFO_2W **ppPrinters, DWORD *pnNbPrinters);
void FindInstalledPrinter(PrinterSearch *search);
void SetDefaultPrinterForInstalledDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);

/* default_printer.cpp. With phUsersKey the HKEY_USERS key is left open in
   *phUsersKey for the caller's clean-up; without it, it is closed here. */
void SetDefaultPrinterForAllUsers(const wchar_t *strPrinter, HKEY *phUsersKey = NULL);
DWORD GetFullPrinterName(wchar_t *strDestination, const wchar_t *strPrinter, const wchar_t *strUserKey);
DWORD SetDefaultPrinterInRegistry(const wchar_t *strFullPrinterName, const wchar_t *strUserKey);

#endif /* COINSTALLER_H */
