/*
 * The port client's two messages: registering a port creates (or opens) its
 * hardware-access mutex and records it; unregistering closes the handle and
 * forgets the port.
 */
#include "power_guard.h"

int OnPowRegister(HWND window, WPARAM hPort, LPARAM lParam)
{
    SECURITY_DESCRIPTOR sd;
    SECURITY_ATTRIBUTES sa;
    SECURITY_ATTRIBUTES *attributes;
    wchar_t name[OBJECT_NAME_BYTES / sizeof(wchar_t)];
    PortEntry *existing;
    HANDLE hMutex;

    (void)window;
    (void)lParam;
    DebugTrace(TAG L"OnPowRegister() :.......\n");

    /* A repeated registration replaces the entry and its handle. While the
       mutexes are held after a suspend wait nothing is released here: the new
       handle names the same owned mutex and the release event frees it. */
    existing = FindPort(hPort);
    if (existing) {
        DebugTrace(TAG L"OnPowRegister() : The port is already registred\n");
        CloseHandle(existing->hMutex);
        RemovePort(hPort);
    }

    attributes = PrepareOpenSecurity(&sd, &sa,
        TAG L"OnPowRegister() : InitializeSecurityDescriptor() failed. GetLastError() = %d\n",
        TAG L"OnPowRegister() : SetSecurityDescriptorDacl() failed. GetLastError() = %d\n",
        TAG L"OnPowRegister() : SecurityDescriptor : SUCCESS\n");

    FormatObjectName(name, sizeof(name), POWER_GUARD_MUTEX_NAME_FORMAT,
                     GlobalPrefix(), TAG POWER_GUARD_MUTEX_INFIX, (ULONG_PTR)hPort);

    hMutex = CreateMutexW(attributes, FALSE, name);
    if (!hMutex) {
        DebugTrace(TAG L"OnPowRegister() : CreateMutex(%s) failed. GetLastError() = %d\n",
                   name, GetLastError());
    } else {
        DebugTrace(TAG L"OnPowRegister() : CreateMutex(%s) SUCCESS\n", name);
        AddPort(hPort, hMutex);
    }

    Dump(L"OnPowRegister()");
    return 1;
}

/* Gives up every ownership the window thread has of the mutex (a suspend wait
   may have taken it once or more), so the port client is not locked out of
   the port once the guard has forgotten it. Fails at once when not owned. */
static void ReleaseOwnership(HANDLE hMutex)
{
    while (ReleaseMutex(hMutex))
        ;
}

void OnPowUnregister(WPARAM hPort)
{
    PortEntry *entry;

    DebugTrace(TAG L"OnPowUnregister ....Entering() :.......\n");
    entry = FindPort(hPort);
    if (entry) {
        DebugTrace(TAG L"OnPowUnregister ....ListLookUp() :.......\n");
        ReleaseOwnership(entry->hMutex);
        CloseHandle(entry->hMutex);
    }
    RemovePort(hPort);
    Dump(L"OnPowUnregister()");
    DebugTrace(TAG L"OnPowUnregister ....Exiting() :.......\n");
}
