/*
 * The power guard's entry point and window. One instance per machine, one
 * hidden top-level window named after the build tag, one thread: everything
 * happens in message dispatch.
 */
#include "power_guard.h"

HANDLE g_hInstanceEvent = NULL;

static LRESULT OnDestroy(void)
{
    PostQuitMessage(0);
    return 0;
}

/* Closes every port's mutex handle and the single-instance event, frees the
   table, then lets the default procedure destroy the window. */
static LRESULT OnClose(HWND window, WPARAM wParam, LPARAM lParam)
{
    int count = g_portTable.count;
    ULONG_PTR hPort;
    HANDLE hMutex;

    for (int i = 0; i < count; i++)
        if (GetPortAt(i, &hPort, &hMutex) == 0)
            CloseHandle(hMutex);
    FreePortTable();
    if (g_hInstanceEvent) {
        CloseHandle(g_hInstanceEvent);
        g_hInstanceEvent = NULL;
    }
    return DefWindowProcW(window, WM_CLOSE, wParam, lParam);
}

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        return OnDestroy();
    case WM_CLOSE:
        return OnClose(window, wParam, lParam);
    case WM_POWERBROADCAST:
        return OnPowerBroadcast(window, wParam, lParam);
    case WM_POWREGISTER:
        OnPowRegister(window, wParam, lParam);
        return 0;
    case WM_POWUNREGISTER:
        OnPowUnregister(wParam);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

/* Creates the single-instance event; FALSE when another instance runs. */
static BOOL ClaimSingleInstance(void)
{
    SECURITY_DESCRIPTOR sd;
    SECURITY_ATTRIBUTES sa;
    SECURITY_ATTRIBUTES *attributes;
    wchar_t name[OBJECT_NAME_BYTES / sizeof(wchar_t)];

    attributes = PrepareOpenSecurity(&sd, &sa,
        TAG L"WinMain() : InitializeSecurityDescriptor() failed. GetLastError() = %d\n",
        TAG L"WinMain() : SetSecurityDescriptorDacl() failed. GetLastError() = %d\n",
        TAG L"WinMain() : SecurityDescriptor : SUCCESS\n");

    FormatObjectName(name, sizeof(name), L"%s%s", GlobalPrefix(), TAG L".OnlyOneInstance");

    g_hInstanceEvent = CreateEventW(attributes, TRUE, TRUE, name);
    if (!g_hInstanceEvent) {
        /* Runs on without single-instance protection. */
        DebugTrace(TAG L"WinMain() : CreateEvent(%s) failed. GetLastError() = %d\n",
                   name, GetLastError());
        return TRUE;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        DebugTrace(TAG L"WinMain() : CreateEvent(%s) : Event already exists. Close Windows\n", name);
        return FALSE;
    }
    DebugTrace(TAG L"WinMain() : CreateEvent(%s) SUCCESS\n", name);
    return TRUE;
}

/* RegisterSuspendResumeNotification, Windows 8 and later. */
typedef HANDLE (WINAPI *RegisterSuspendResumeNotificationProc)(HANDLE recipient, DWORD flags);

/* On Modern Standby machines Windows sends the suspend and resume events only
   to windows that ask for them; the broadcast reaches the others in S3/S4
   sleep alone. Resolved at run time: the guard still runs on Windows 6.0,
   where the function does not exist and nothing is asked. The registration
   lasts as long as the process. */
static void AskForSuspendResumeNotifications(HWND window)
{
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    RegisterSuspendResumeNotificationProc registerNotification;

    if (!user32)
        return;
    registerNotification = (RegisterSuspendResumeNotificationProc)(void *)GetProcAddress(
        user32, "RegisterSuspendResumeNotification");
    if (!registerNotification)
        return;
    if (!registerNotification(window, DEVICE_NOTIFY_WINDOW_HANDLE))
        DebugTrace(TAG L"WinMain() : RegisterSuspendResumeNotification() failed. GetLastError() = %d\n",
                   GetLastError());
}

static void CreateGuardWindow(HINSTANCE instance, HINSTANCE previous)
{
    WNDCLASSW wc;
    HWND window;

    if (!previous) {
        ZeroMemory(&wc, sizeof(wc));
        wc.style = CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = WndProc;
        wc.hInstance = instance;
        wc.hIcon = LoadIconW(NULL, (LPCWSTR)IDI_APPLICATION);
        wc.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
        wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
        wc.lpszClassName = TAG;
        RegisterClassW(&wc);
    }
    window = CreateWindowExW(0, TAG, TAG, WS_OVERLAPPEDWINDOW,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                             NULL, NULL, instance, NULL);
    if (window)
        AskForSuspendResumeNotifications(window);
    /* Always hidden, whatever show state the program was started with. */
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showState)
{
    MSG msg;

    (void)commandLine;
    (void)showState;
    DebugTrace(TAG L"--------------------------------------- WinMain ---------------------------\n");

    if (!ClaimSingleInstance())
        return 0;   /* the event handle is released with the process */

    ResetPortTable();
    CreateGuardWindow(instance, previous);

    while (GetMessageW(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
