/*
 * demo_driver: one command per run, for tools/demo/run_demo.sh.
 *
 *   wait-window TAG MS              wait until the guard's window exists
 *   broadcast TAG EVENT             send WM_POWERBROADCAST (EVENT a PBT_ name), show the answer
 *   close TAG                       send WM_CLOSE
 *   trace TEXT                      put "TEXT\n" on the debug-output channel
 *   add-printer NAME DRIVER PORT    add a print queue on a driver of that name
 *   remove-printer NAME DRIVER      remove them again
 *   add-user SID PRINTER VALUE      a user hive whose Devices key names PRINTER
 *   show-default SID [EXPECTED]     show the hive's default printer; fail unless it is EXPECTED
 *   remove-user SID                 remove that hive's key
 *
 * Exit codes: 0 done, 1 the step failed, 2 bad command line.
 */
#include <stdlib.h>
#include <wchar.h>
#include "demo.h"

const wchar_t g_programName[] = L"demo_driver";

static BOOL Is(const wchar_t *a, const wchar_t *b)
{
    return wcscmp(a, b) == 0;
}

static int Usage(void)
{
    Notice(L"usage: demo_driver wait-window TAG MS | broadcast TAG EVENT | close TAG | trace TEXT |\n"
           L"       add-printer NAME DRIVER PORT | remove-printer NAME DRIVER |\n"
           L"       add-user SID PRINTER VALUE | show-default SID [EXPECTED] | remove-user SID");
    return EXIT_USAGE;
}

int wmain(int argc, wchar_t **argv)
{
    const wchar_t *command = argc > 1 ? argv[1] : L"";
    int n = argc - 2;   /* arguments after the command */
    wchar_t **a = argv + 2;

    if (Is(command, L"wait-window") && n == 2)
        return WaitGuardWindow(a[0], (DWORD)wcstoul(a[1], NULL, 10));
    if (Is(command, L"broadcast") && n == 2)
        return SendBroadcast(a[0], a[1]);
    if (Is(command, L"close") && n == 1)
        return CloseGuardWindow(a[0]);
    if (Is(command, L"trace") && n == 1) {
        size_t units = wcslen(a[0]) + 2;
        wchar_t *line = (wchar_t *)malloc(units * sizeof(wchar_t));
        if (!line)
            return EXIT_FAILED;
        _snwprintf(line, units, L"%ls\n", a[0]);
        line[units - 1] = L'\0';
        OutputDebugStringW(line);
        free(line);
        return EXIT_OK;
    }
    if (Is(command, L"add-printer") && n == 3)
        return AddDemoPrinter(a[0], a[1], a[2]);
    if (Is(command, L"remove-printer") && n == 2)
        return RemoveDemoPrinter(a[0], a[1]);
    if (Is(command, L"add-user") && n == 3)
        return AddDemoUser(a[0], a[1], a[2]);
    if (Is(command, L"show-default") && (n == 1 || n == 2))
        return ShowDefaultPrinter(a[0], n == 2 ? a[1] : NULL);
    if (Is(command, L"remove-user") && n == 1)
        return RemoveDemoUser(a[0]);
    return Usage();
}
