/*
 * The floor window: the platform work behind each of the guard's messages
 * and nothing else, in a process of its own so that a message to it makes the
 * same cross-process round trip as one to the guard.
 *
 *   register    CreateMutexW (named, not owned, null DACL), kept in an array
 *   unregister  CloseHandle of that port's mutex
 *   suspend     one WaitForMultipleObjects for all, 1900 ms
 *   resume      ReleaseMutex of each
 *
 * With lParam BENCH_FLOOR_TRACED each message also writes as many
 * debug-output lines as the guard traces for it with the same table: the
 * cost of tracing alone, apart from the guard's own work.
 */
#include <stdio.h>
#include "bench.h"
#include "port_client.h"

struct FloorPort {
    ULONG_PTR hPort;
    HANDLE hMutex;
};

static FloorPort g_floorPorts[BENCH_MAX_PORTS + 1];
static int g_floorCount = 0;

/* As long as the guard's longer lines (tag, position, port and handle). */
static const wchar_t kFloorLine[] = L"BENCHFLR floor : trace line of the same length as the guard's\n";

static void TraceLines(int count)
{
    for (int i = 0; i < count; i++)
        OutputDebugStringW(kFloorLine);
}

static LRESULT FloorRegister(ULONG_PTR hPort, BOOL traced)
{
    SECURITY_DESCRIPTOR sd;
    SECURITY_ATTRIBUTES sa;
    wchar_t name[POWER_GUARD_MUTEX_NAME_UNITS + 8];
    HANDLE hMutex;

    if (g_floorCount >= BENCH_MAX_PORTS + 1)
        return 0;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, NULL, FALSE);
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = &sd;
    sa.bInheritHandle = FALSE;
    _snwprintf(name, sizeof(name) / sizeof(name[0]) - 1, POWER_GUARD_MUTEX_NAME_FORMAT,
               POWER_GUARD_GLOBAL_PREFIX, BENCH_FLOOR_TAG POWER_GUARD_MUTEX_INFIX, hPort);
    name[sizeof(name) / sizeof(name[0]) - 1] = L'\0';
    hMutex = CreateMutexW(&sa, FALSE, name);
    if (!hMutex)
        return 0;
    g_floorPorts[g_floorCount].hPort = hPort;
    g_floorPorts[g_floorCount].hMutex = hMutex;
    g_floorCount++;
    /* The guard: entry, security, creation, the dump's count and one line per port. */
    if (traced)
        TraceLines(4 + g_floorCount);
    return 1;
}

static LRESULT FloorUnregister(ULONG_PTR hPort, BOOL traced)
{
    for (int i = 0; i < g_floorCount; i++) {
        if (g_floorPorts[i].hPort != hPort)
            continue;
        CloseHandle(g_floorPorts[i].hMutex);
        g_floorPorts[i] = g_floorPorts[g_floorCount - 1];
        g_floorCount--;
        break;
    }
    /* The guard: entering, look-up, the dump's count and ports, exiting. */
    if (traced)
        TraceLines(4 + g_floorCount);
    return 0;
}

static LRESULT FloorPower(WPARAM event, BOOL traced)
{
    HANDLE handles[BENCH_MAX_PORTS + 1];
    DWORD result;

    if (event == PBT_APMSUSPEND && g_floorCount > 0) {
        for (int i = 0; i < g_floorCount; i++)
            handles[i] = g_floorPorts[i].hMutex;
        /* The guard: the event's name, the dump, then the wait's outcome. */
        if (traced)
            TraceLines(2 + g_floorCount);
        result = WaitForMultipleObjects((DWORD)g_floorCount, handles, TRUE, 1900);
        if (traced)
            TraceLines(1);
        return result < WAIT_OBJECT_0 + (DWORD)g_floorCount ? TRUE : 2;
    }
    if (event == PBT_APMRESUMEAUTOMATIC) {
        int released = 0;
        if (traced)
            TraceLines(2 + g_floorCount);
        for (int i = 0; i < g_floorCount; i++) {
            if (ReleaseMutex(g_floorPorts[i].hMutex))
                released++;
            if (traced)
                TraceLines(1);
        }
        return released == g_floorCount ? TRUE : 2;
    }
    return TRUE;
}

static LRESULT CALLBACK FloorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    BOOL traced = lParam == BENCH_FLOOR_TRACED;

    switch (message) {
    case WM_POWREGISTER:
        return FloorRegister((ULONG_PTR)wParam, traced);
    case WM_POWUNREGISTER:
        return FloorUnregister((ULONG_PTR)wParam, traced);
    case WM_POWERBROADCAST:
        return FloorPower(wParam, traced);
    case WM_CLOSE:
        for (int i = 0; i < g_floorCount; i++)
            CloseHandle(g_floorPorts[i].hMutex);
        g_floorCount = 0;
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

int RunFloorWindow(void)
{
    WNDCLASSW wc;
    HWND window;
    MSG msg;

    ZeroMemory(&wc, sizeof(wc));
    wc.lpfnWndProc = FloorWndProc;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.lpszClassName = BENCH_FLOOR_CLASS;
    if (!RegisterClassW(&wc)) {
        Notice(L"error: floor window: RegisterClass failed (error %lu)", GetLastError());
        return BENCH_FAILED;
    }
    /* Top-level and never shown, as the guard's. */
    window = CreateWindowExW(0, BENCH_FLOOR_CLASS, BENCH_FLOOR_CLASS, WS_OVERLAPPEDWINDOW,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                             NULL, NULL, wc.hInstance, NULL);
    if (!window) {
        Notice(L"error: floor window: CreateWindowEx failed (error %lu)", GetLastError());
        return BENCH_FAILED;
    }
    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return BENCH_OK;
}
