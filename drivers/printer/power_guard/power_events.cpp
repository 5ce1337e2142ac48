/*
 * The system's power broadcasts. Before a suspend the guard takes every
 * port's hardware-access mutex in one wait-for-all; after resume, or when the
 * suspend is called off, it releases them. The older system generation waits
 * at the query and may refuse; NT6 waits briefly at the suspend itself.
 */
#include <stdlib.h>
#include "power_guard.h"

#define QUERY_SUSPEND_WAIT_MS  17500
#define SUSPEND_WAIT_MS        1900

const wchar_t *PbtEventName(WPARAM event)
{
    static const wchar_t *const names[] = {
        L"PBT_APMQUERYSUSPEND",       L"PBT_APMQUERYSTANDBY",
        L"PBT_APMQUERYSUSPENDFAILED", L"PBT_APMQUERYSTANDBYFAILED",
        L"PBT_APMSUSPEND",            L"PBT_APMSTANDBY",
        L"PBT_APMRESUMECRITICAL",     L"PBT_APMRESUMESUSPEND",
        L"PBT_APMRESUMESTANDBY",      L"PBT_APMBATTERYLOW",
        L"PBT_APMPOWERSTATUSCHANGE",  L"PBT_APMOEMEVENT",
    };
    if (event < sizeof(names) / sizeof(names[0]))
        return names[event];
    if (event == PBT_APMRESUMEAUTOMATIC)
        return L"PBT_APMRESUMEAUTOMATIC";
    return L"Unknown";
}

/* Older generation: may the machine suspend? Refused when the ports stay
   busy past the time-out. */
static LRESULT WaitAtQuerySuspend(HANDLE *handles, DWORD count)
{
    DWORD result = WaitForMultipleObjects(count, handles, TRUE, QUERY_SUSPEND_WAIT_MS);

    if (result == WAIT_TIMEOUT) {
        DebugTrace(TAG L"OnPowerBroadcast() : WaitForMultipleObjects() returns WAIT_TIMEOUT\n");
        DebugTrace(TAG L"OnPowerBroadcast() : Query suspend is denied\n");
        return BROADCAST_QUERY_DENY;
    }
    if (result == WAIT_FAILED)
        DebugTrace(TAG L"OnPowerBroadcast() : WaitForMultipleObjects() returns WAIT_FAILED. GetLastError() = %d\n",
                   GetLastError());
    else if (result < WAIT_OBJECT_0 + count)
        DebugTrace(TAG L"OnPowerBroadcast() : All Mutex " TAG L".HardwareAccess acquired\n");
    else
        DebugTrace(TAG L"OnPowerBroadcast() : WaitForMultipleObjects() returns %d\n", result);
    return TRUE;
}

/* NT6 generation: the machine is suspending; take the ports if they come
   free in time, and let it go ahead in any case. */
static void WaitAtSuspend(HANDLE *handles, DWORD count)
{
    DWORD result = WaitForMultipleObjects(count, handles, TRUE, SUSPEND_WAIT_MS);

    if (result == WAIT_TIMEOUT)
        DebugTrace(TAG L"OnPowerBroadcast() : WaitForMultipleObjects() returns WAIT_TIMEOUT\n");
    else if (result < WAIT_OBJECT_0 + count)
        DebugTrace(TAG L"OnPowerBroadcast() : All Mutex " TAG L".HardwareAccess acquired\n");
    else
        DebugTrace(TAG L"OnPowerBroadcast() : WaitForMultipleObjects() returns %d\n", result);
}

/* Releases every port's mutex in table order; one that is not held fails,
   which is traced and harmless. */
static void ReleaseAll(void)
{
    ULONG_PTR hPort;
    HANDLE hMutex;

    for (int i = 0; i < g_portTable.count; i++) {
        if (GetPortAt(i, &hPort, &hMutex) != 0)
            break;
        if (ReleaseMutex(hMutex))
            DebugTrace(TAG L"OnPowerBroadcast() : Release Mutex SUCCEEDED\n");
        else
            DebugTrace(TAG L"OnPowerBroadcast() : Release Mutex failed. GetLastError() = %d\n",
                       GetLastError());
    }
}

LRESULT OnPowerBroadcast(HWND window, WPARAM event, LPARAM data)
{
    HANDLE *handles;
    DWORD count;
    LRESULT result = TRUE;
    ULONG_PTR hPort;

    (void)window;
    (void)data;
    DebugTrace(TAG L"OnPowerBroadcast(%s)\n", PbtEventName(event));
    Dump(L"OnPowerBroadcast()");

    if (g_portTable.count <= 0) {
        DebugTrace(TAG L"OnPowerBroadcast() : No ports are registered\n");
        return TRUE;
    }

    /* Without the array there is nothing to wait on: the waits are skipped
       and the event granted; the releases walk the table and still run. */
    count = (DWORD)g_portTable.count;
    handles = (HANDLE *)malloc(count * sizeof(HANDLE));
    if (!handles)
        DebugTrace(TAG L"OnPowerBroadcast() : malloc(%d) failed. GetLastError() = %d\n",
                   (int)(count * sizeof(HANDLE)), ERROR_NOT_ENOUGH_MEMORY);
    else
        for (DWORD i = 0; i < count; i++)
            if (GetPortAt((int)i, &hPort, &handles[i]) != 0)
                handles[i] = NULL;

    switch (event) {
    case PBT_APMQUERYSUSPEND:
        if (!IsNt6() && handles)
            result = WaitAtQuerySuspend(handles, count);
        break;
    case PBT_APMSUSPEND:
        if (IsNt6() && handles)
            WaitAtSuspend(handles, count);
        break;
    case PBT_APMQUERYSUSPENDFAILED:
    case PBT_APMRESUMESUSPEND:
    case PBT_APMRESUMEAUTOMATIC:
        ReleaseAll();
        break;
    default:
        DebugTrace(TAG L"OnPowerBroadcast() : Unmatched\n");
        break;
    }

    free(handles);
    return result;
}
