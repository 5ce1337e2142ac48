/*
 * The guard's only diagnostic output and the small decisions every handler
 * shares: trace lines to the debugger channel, bounded formatting of kernel
 * object names, and the cached probe of the operating-system version.
 */
#include <stdarg.h>
#include <stdio.h>
#include "power_guard.h"

int g_nOsVersionKnown = 0;
OSVERSIONINFOEXW g_osVersion;

/* One trace line. A text longer than TRACE_LINE_UNITS is dropped whole. */
void DebugTrace(const wchar_t *format, ...)
{
    wchar_t line[TRACE_LINE_UNITS + 1];
    va_list args;
    int written;

    va_start(args, format);
    written = _vsnwprintf(line, TRACE_LINE_UNITS, format, args);
    va_end(args);
    if (written < 0 || written > TRACE_LINE_UNITS)
        return;
    line[written] = L'\0';
    OutputDebugStringW(line);
}

/* Formats at most bytes/2 - 1 units and always terminates; a text that does
   not fit is kept truncated and reported as insufficient buffer. */
HRESULT FormatObjectName(wchar_t *buffer, size_t bytes, const wchar_t *format, ...)
{
    size_t capacity = bytes / sizeof(wchar_t);
    va_list args;
    int written;

    if (capacity == 0 || capacity > 0x7FFFFFFF)
        return (HRESULT)0x80070057;

    va_start(args, format);
    written = _vsnwprintf(buffer, capacity - 1, format, args);
    va_end(args);
    if (written < 0 || (size_t)written > capacity - 1) {
        buffer[capacity - 1] = L'\0';
        return (HRESULT)0x8007007A;
    }
    buffer[written] = L'\0';
    return 0;
}

/* Fills the version cache: the extended record first, then the basic one. */
int GetOsVersion(void)
{
    ZeroMemory(&g_osVersion, sizeof(g_osVersion));
    g_osVersion.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    if (GetVersionExW((OSVERSIONINFOW *)&g_osVersion))
        return 1;
    g_osVersion.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    if (GetVersionExW((OSVERSIONINFOW *)&g_osVersion))
        return 1;
    return 0;
}

/* A failed probe leaves the flag clear, so the next decision probes again. */
static void EnsureOsVersion(void)
{
    if (g_nOsVersionKnown == 0)
        g_nOsVersionKnown = GetOsVersion();
}

const wchar_t *GlobalPrefix(void)
{
    EnsureOsVersion();
    if (g_nOsVersionKnown && g_osVersion.dwPlatformId == VER_PLATFORM_WIN32_NT &&
        g_osVersion.dwMajorVersion > 4)
        return POWER_GUARD_GLOBAL_PREFIX;
    return L"";
}

BOOL IsNt6(void)
{
    EnsureOsVersion();
    return g_nOsVersionKnown && g_osVersion.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           g_osVersion.dwMajorVersion > 5;
}
