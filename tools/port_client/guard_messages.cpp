/*
 * The stand-in port client's side of the two port messages: find the guard's
 * hidden window by its class name (the build tag) and send it the port value.
 */
#include "client.h"
#include "port_client.h"

static HWND g_guardWindow = NULL;

/* Looks for the window until it appears or findMs have passed. */
static HWND FindGuard(void)
{
    DWORD start = GetTickCount();

    while (!g_guardWindow) {
        g_guardWindow = FindWindowW(g_options.tag, NULL);
        if (g_guardWindow || GetTickCount() - start >= g_options.findMs)
            break;
        Sleep(20);
    }
    return g_guardWindow;
}

/* Sends WM_POWREGISTER or WM_POWUNREGISTER for one port and waits for the
   answer (the guard may be inside a suspend wait of up to 17.5 s). */
int SendPortMessage(UINT message, const wchar_t *portText, ULONG_PTR port)
{
    const wchar_t *what = message == WM_POWREGISTER ? L"WM_POWREGISTER" : L"WM_POWUNREGISTER";
    DWORD_PTR answer = 0;
    HWND window = FindGuard();

    if (!window) {
        Notice(L"no guard window of class %ls", g_options.tag);
        return EXIT_NO_GUARD;
    }
    if (!SendMessageTimeoutW(window, message, (WPARAM)port, 0, SMTO_NORMAL, g_options.sendMs, &answer)) {
        Notice(L"the guard did not answer %ls for port %ls (error %lu)",
               what, portText, GetLastError());
        return EXIT_NOT_DELIVERED;
    }
    PrintLine(message == WM_POWREGISTER ? "registered" : "unregistered", portText);
    return EXIT_OK;
}
