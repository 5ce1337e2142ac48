/*
 * Unit-test build of the co-installer only: its global-memory, spooler and
 * registry open/close/set calls go through these counting wrappers, which
 * pass through to the real calls unless a test has asked for a failure. The
 * counts let a test see that every block was freed and every key closed.
 * Two behaviours of the platform that the code must not rely on are made
 * visible: a new global-memory block is filled with non-zero bytes (its
 * content is undefined), and the room a registry query leaves after the data
 * is filled with non-zero units (the registry adds no terminator of its own
 * on Windows; Wine does when there is room).
 */
#ifndef COINSTALLER_SEAMS_H
#define COINSTALLER_SEAMS_H

#include <windows.h>
#include <winspool.h>

#define SEAM_RECORDED_SETS 8

struct SeamRegistrySet {
    wchar_t name[64];
    DWORD type;
    DWORD bytes;
    wchar_t data[300];      /* the first units of what was passed */
};

struct CoinstallerSeams {
    /* GlobalAlloc: fail the call numbered globalAllocFailAt (1-based; 0 never) */
    int globalAllocCalls;
    int globalAllocFailAt;
    DWORD globalAllocError;
    int globalAllocSucceeded;
    int globalFreeCalls;
    SIZE_T globalAllocBytes[8];      /* sizes asked for by the first calls */
    /* EnumPrintersW: fail the call numbered enumPrintersFailAt (1-based; 0 never) */
    int enumPrintersCalls;
    int enumPrintersFailAt;
    DWORD enumPrintersError;         /* last error of the failure (0 allowed) */
    BOOL enumPrintersFakeEmpty;      /* answer as an empty spooler does: TRUE, 0 needed */
    /* RegOpenKeyExW: fail every open whose subkey contains regOpenFailPath */
    const wchar_t *regOpenFailPath;
    LONG regOpenFailStatus;
    int regOpenCalls;
    int regOpenSucceeded;
    int regCloseCalls;
    /* RegQueryValueExW */
    int regQueryCalls;
    /* RegSetValueExW */
    int regSetCalls;
    SeamRegistrySet regSets[SEAM_RECORDED_SETS];
};

extern CoinstallerSeams g_coinstallerSeams;
void ResetCoinstallerSeams(void);

HGLOBAL WINAPI SeamGlobalAlloc(UINT flags, SIZE_T bytes);
HGLOBAL WINAPI SeamGlobalFree(HGLOBAL block);
BOOL WINAPI SeamEnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                              LPDWORD needed, LPDWORD returned);
LONG WINAPI SeamRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG WINAPI SeamRegCloseKey(HKEY key);
LONG WINAPI SeamRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                 LPDWORD bytes);
LONG WINAPI SeamRegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data,
                               DWORD bytes);

#define GlobalAlloc SeamGlobalAlloc
#define GlobalFree SeamGlobalFree
#define EnumPrintersW SeamEnumPrintersW
#define RegOpenKeyExW SeamRegOpenKeyExW
#define RegCloseKey SeamRegCloseKey
#define RegQueryValueExW SeamRegQueryValueExW
#define RegSetValueExW SeamRegSetValueExW

#endif /* COINSTALLER_SEAMS_H */
