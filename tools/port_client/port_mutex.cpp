/*
 * The locking rule, seen from the port client: a port's hardware-access
 * mutex is held while the port's hardware is in use. The client names the
 * mutex exactly as the guard does, opens it (or creates it when the guard has
 * not made it yet), waits for it with a time-out, holds it, releases it.
 */
#include <stdio.h>
#include "client.h"
#include "port_client.h"

/* "Global\" on NT platforms after version 4, as the guard decides. */
static const wchar_t *NamePrefix(void)
{
    OSVERSIONINFOW version;

    if (g_options.prefix == PREFIX_GLOBAL)
        return POWER_GUARD_GLOBAL_PREFIX;
    if (g_options.prefix == PREFIX_NONE)
        return L"";
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (GetVersionExW(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
        version.dwMajorVersion > 4)
        return POWER_GUARD_GLOBAL_PREFIX;
    return L"";
}

void PortMutexName(ULONG_PTR port, wchar_t *name, size_t units)
{
    /* _snwprintf keeps the Microsoft runtime's meaning of %s and %Ix. */
    int n = _snwprintf(name, units - 1, L"%ls%ls%ls%016Ix", NamePrefix(), g_options.tag,
                       POWER_GUARD_MUTEX_INFIX, port);
    name[n < 0 ? units - 1 : (size_t)n] = L'\0';
}

static HANDLE OpenPortMutex(const wchar_t *portText, ULONG_PTR port)
{
    wchar_t name[POWER_GUARD_MUTEX_NAME_UNITS + 64];
    HANDLE mutex;

    PortMutexName(port, name, sizeof(name) / sizeof(name[0]));
    mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
    if (!mutex && GetLastError() == ERROR_FILE_NOT_FOUND)
        mutex = CreateMutexW(NULL, FALSE, name);
    if (!mutex)
        Notice(L"cannot open the mutex of port %ls, %ls (error %lu)", portText, name, GetLastError());
    return mutex;
}

/* Waits up to --wait-ms. EXIT_OK once the mutex is owned (an abandoned one
   is owned too, and said so). */
static int TakePort(HANDLE mutex, const wchar_t *portText)
{
    DWORD result = WaitForSingleObject(mutex, g_options.waitMs);

    switch (result) {
    case WAIT_OBJECT_0:
        return EXIT_OK;
    case WAIT_ABANDONED:
        PrintLine("abandoned", portText);
        return EXIT_OK;
    case WAIT_TIMEOUT:
        PrintLine("timeout", portText);
        return EXIT_TIMEOUT;
    default:
        Notice(L"waiting for the mutex of port %ls failed (error %lu)", portText, GetLastError());
        return EXIT_MUTEX_ERROR;
    }
}

/* Keeps the mutex holdMs, or less when the release event is signalled. */
static int KeepPort(DWORD holdMs)
{
    HANDLE release;

    if (!g_options.releaseEvent) {
        Sleep(holdMs);
        return EXIT_OK;
    }
    release = CreateEventW(NULL, TRUE, FALSE, g_options.releaseEvent);
    if (!release) {
        Notice(L"cannot open the release event %ls (error %lu)", g_options.releaseEvent, GetLastError());
        return EXIT_MUTEX_ERROR;
    }
    WaitForSingleObject(release, holdMs);
    CloseHandle(release);
    return EXIT_OK;
}

static int GivePort(HANDLE mutex, const wchar_t *portText)
{
    if (!ReleaseMutex(mutex)) {
        Notice(L"releasing the mutex of port %ls failed (error %lu)", portText, GetLastError());
        return EXIT_MUTEX_ERROR;
    }
    return EXIT_OK;
}

int HoldPort(const wchar_t *portText, ULONG_PTR port, DWORD holdMs)
{
    HANDLE mutex = OpenPortMutex(portText, port);
    int status;

    if (!mutex)
        return EXIT_MUTEX_ERROR;
    status = TakePort(mutex, portText);
    if (status == EXIT_OK) {
        PrintLine("held", portText);
        int kept = KeepPort(holdMs);
        status = GivePort(mutex, portText);
        if (status == EXIT_OK)
            PrintLine("released", portText);
        if (kept != EXIT_OK)
            status = kept;
    }
    CloseHandle(mutex);
    return status;
}

/* count short accesses one after the other, each bounded by --wait-ms. */
int CyclePort(const wchar_t *portText, ULONG_PTR port, DWORD count)
{
    HANDLE mutex = OpenPortMutex(portText, port);
    int status = EXIT_OK;

    if (!mutex)
        return EXIT_MUTEX_ERROR;
    for (DWORD i = 0; i < count && status == EXIT_OK; i++) {
        status = TakePort(mutex, portText);
        if (status == EXIT_OK)
            status = GivePort(mutex, portText);
    }
    CloseHandle(mutex);
    if (status == EXIT_OK) {
        printf("cycled %ls %lu\n", portText, count);
        fflush(stdout);
    }
    return status;
}

/* Ends the process while it owns the mutex, which leaves it abandoned. */
int ExitHoldingPort(const wchar_t *portText, ULONG_PTR port)
{
    HANDLE mutex = OpenPortMutex(portText, port);
    int status;

    if (!mutex)
        return EXIT_MUTEX_ERROR;
    status = TakePort(mutex, portText);
    if (status != EXIT_OK) {
        CloseHandle(mutex);
        return status;
    }
    PrintLine("held", portText);
    ExitProcess(EXIT_OK);
}
