/*
 * The co-installer's test-only seams for the fuzz test (see
 * coinstaller_fuzz_seams.h). Counting and failure injection follow
 * coinstaller_seams.h; the blocks and the printer list are the fuzz test's.
 */
#include <string.h>
#include <wchar.h>
#include <map>
#include <windows.h>
#include <winspool.h>

#include "coinstaller_seams.h"
#include "coinstaller_fuzz_seams.h"

#undef GlobalAlloc
#undef GlobalFree
#undef EnumPrintersW
#undef RegOpenKeyExW
#undef RegCloseKey
#undef RegQueryValueExW
#undef RegSetValueExW

CoinstallerSeams g_coinstallerSeams;
FuzzSeams g_fuzzSeams;

/* Live guarded blocks: the address handed out, and the start of its pages. */
static std::map<void *, void *> g_blocks;

void ResetCoinstallerSeams(void)
{
    memset(&g_coinstallerSeams, 0, sizeof(g_coinstallerSeams));
}

void ResetFuzzSeams(void)
{
    ResetCoinstallerSeams();
    g_fuzzSeams.fakePrinters = false;
    g_fuzzSeams.printers.clear();
    g_fuzzSeams.foreignFrees = 0;
}

static SIZE_T PageSize(void)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

/* bytes ending exactly at a page end; the page after it is reserved only,
   so touching it faults. */
static void *GuardedBlock(SIZE_T bytes)
{
    SIZE_T page = PageSize();
    SIZE_T dataPages = (bytes + page - 1) / page;
    if (dataPages == 0)
        dataPages = 1;
    BYTE *base = (BYTE *)VirtualAlloc(NULL, (dataPages + 1) * page, MEM_RESERVE, PAGE_NOACCESS);
    if (!base)
        return NULL;
    if (!VirtualAlloc(base, dataPages * page, MEM_COMMIT, PAGE_READWRITE)) {
        VirtualFree(base, 0, MEM_RELEASE);
        return NULL;
    }
    BYTE *block = base + dataPages * page - bytes;
    memset(block, kFuzzBlockFill, bytes);
    g_blocks[block] = base;
    g_fuzzSeams.liveBlocks++;
    return block;
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
    if (flags & GMEM_MOVEABLE)
        block = GlobalAlloc(flags, bytes);
    else
        block = (HGLOBAL)GuardedBlock(bytes);
    if (block != NULL)
        s.globalAllocSucceeded++;
    else
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

HGLOBAL WINAPI SeamGlobalFree(HGLOBAL block)
{
    g_coinstallerSeams.globalFreeCalls++;
    auto it = g_blocks.find((void *)block);
    if (it == g_blocks.end()) {
        g_fuzzSeams.foreignFrees++;
        return block;   /* as GlobalFree does with a bad handle: the block back */
    }
    VirtualFree(it->second, 0, MEM_RELEASE);
    g_blocks.erase(it);
    g_fuzzSeams.liveBlocks--;
    return NULL;
}

/* The list as a spooler lays it out: the records first, then the strings. */
static DWORD FakeListBytes(void)
{
    size_t bytes = g_fuzzSeams.printers.size() * sizeof(PRINTER_INFO_2W);
    for (const FuzzPrinter &p : g_fuzzSeams.printers) {
        if (p.hasName)
            bytes += (p.name.size() + 1) * sizeof(wchar_t);
        if (p.hasDriver)
            bytes += (p.driver.size() + 1) * sizeof(wchar_t);
        if (p.hasPort)
            bytes += (p.port.size() + 1) * sizeof(wchar_t);
    }
    return (DWORD)((bytes + 7) & ~(size_t)7);
}

static wchar_t *PlaceString(wchar_t **at, const std::wstring &text)
{
    wchar_t *start = *at;
    memcpy(start, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    *at += text.size() + 1;
    return start;
}

static BOOL FakeEnumPrinters(LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned)
{
    DWORD bytes = g_fuzzSeams.printers.empty() ? 0 : FakeListBytes();
    *needed = bytes;
    *returned = 0;
    if (bytes == 0)
        return TRUE;
    if (buffer == NULL || size < bytes) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    PRINTER_INFO_2W *records = (PRINTER_INFO_2W *)buffer;
    wchar_t *strings = (wchar_t *)(records + g_fuzzSeams.printers.size());
    memset(records, 0, g_fuzzSeams.printers.size() * sizeof(PRINTER_INFO_2W));
    for (size_t i = 0; i < g_fuzzSeams.printers.size(); i++) {
        const FuzzPrinter &p = g_fuzzSeams.printers[i];
        records[i].pPrinterName = p.hasName ? PlaceString(&strings, p.name) : NULL;
        records[i].pDriverName = p.hasDriver ? PlaceString(&strings, p.driver) : NULL;
        records[i].pPortName = p.hasPort ? PlaceString(&strings, p.port) : NULL;
    }
    *returned = (DWORD)g_fuzzSeams.printers.size();
    return TRUE;
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
    if (g_fuzzSeams.fakePrinters)
        return FakeEnumPrinters(buffer, size, needed, returned);
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

/* Windows adds no terminator after the data; the room left is filled with a
   non-zero byte so that code relying on one reads garbage, not a zero. */
LONG WINAPI SeamRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                 LPDWORD bytes)
{
    DWORD room = (bytes != NULL) ? *bytes : 0;
    LONG status;

    g_coinstallerSeams.regQueryCalls++;
    status = RegQueryValueExW(key, name, reserved, type, data, bytes);
    if (status == ERROR_SUCCESS && data != NULL && bytes != NULL && *bytes < room)
        memset(data + *bytes, kFuzzQueryFill, room - *bytes);
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
