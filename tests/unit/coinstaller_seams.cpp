/*
 * The co-installer's test-only seams (see coinstaller_seams.h).
 */
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <winspool.h>

#include "coinstaller_seams.h"

#undef GlobalAlloc
#undef GlobalFree
#undef EnumPrintersW
#undef RegOpenKeyExW
#undef RegCloseKey
#undef RegQueryValueExW
#undef RegSetValueExW

CoinstallerSeams g_coinstallerSeams;

void ResetCoinstallerSeams(void)
{
    memset(&g_coinstallerSeams, 0, sizeof(g_coinstallerSeams));
}

HGLOBAL WINAPI SeamGlobalAlloc(UINT flags, SIZE_T bytes)
{
    CoinstallerSeams &s = g_coinstallerSeams;
    int call = ++s.globalAllocCalls;
    HGLOBAL block;

    if (call <= 8)
        s.globalAllocBytes[call - 1] = bytes;
    if (call == s.globalAllocFailAt) {
        SetLastError(s.globalAllocError);
        return NULL;
    }
    block = GlobalAlloc(flags, bytes);
    if (block != NULL) {
        s.globalAllocSucceeded++;
        if (!(flags & GMEM_ZEROINIT) && !(flags & GMEM_MOVEABLE))
            memset(block, 0x5A, bytes);
    }
    return block;
}

HGLOBAL WINAPI SeamGlobalFree(HGLOBAL block)
{
    g_coinstallerSeams.globalFreeCalls++;
    return GlobalFree(block);
}

BOOL WINAPI SeamEnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                              LPDWORD needed, LPDWORD returned)
{
    CoinstallerSeams &s = g_coinstallerSeams;
    int call = ++s.enumPrintersCalls;

    if (call == s.enumPrintersFailAt) {
        SetLastError(s.enumPrintersError);
        return FALSE;
    }
    if (s.enumPrintersFakeEmpty) {
        *needed = 0;
        *returned = 0;
        return TRUE;
    }
    return EnumPrintersW(flags, name, level, buffer, size, needed, returned);
}

LONG WINAPI SeamRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    CoinstallerSeams &s = g_coinstallerSeams;
    LONG status;

    s.regOpenCalls++;
    if (s.regOpenFailPath != NULL && subKey != NULL && wcsstr(subKey, s.regOpenFailPath) != NULL)
        return s.regOpenFailStatus;
    status = RegOpenKeyExW(key, subKey, options, access, result);
    if (status == ERROR_SUCCESS)
        s.regOpenSucceeded++;
    return status;
}

LONG WINAPI SeamRegCloseKey(HKEY key)
{
    g_coinstallerSeams.regCloseCalls++;
    return RegCloseKey(key);
}

LONG WINAPI SeamRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                 LPDWORD bytes)
{
    DWORD room = (bytes != NULL) ? *bytes : 0;
    LONG status;

    g_coinstallerSeams.regQueryCalls++;
    status = RegQueryValueExW(key, name, reserved, type, data, bytes);
    if (status == ERROR_SUCCESS && data != NULL && bytes != NULL && *bytes < room)
        memset(data + *bytes, 'Q', room - *bytes);
    return status;
}

LONG WINAPI SeamRegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data,
                               DWORD bytes)
{
    CoinstallerSeams &s = g_coinstallerSeams;
    int call = s.regSetCalls++;

    if (call < SEAM_RECORDED_SETS) {
        SeamRegistrySet &r = s.regSets[call];
        wcsncpy(r.name, name ? name : L"", 63);
        r.type = type;
        r.bytes = bytes;
        if (data != NULL)
            memcpy(r.data, data, bytes < sizeof(r.data) - 2 ? bytes : sizeof(r.data) - 2);
    }
    return RegSetValueExW(key, name, reserved, type, data, bytes);
}
