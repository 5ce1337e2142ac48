/*
 * The device_installer tool's report: one line per step, on the console and
 * in the log file when one was asked for (a debugged child's console is not
 * read by the tests, its log file is).
 */
#include <stdarg.h>
#include "installer.h"
#include "notice.h"

static HANDLE g_log = INVALID_HANDLE_VALUE;

BOOL OpenReport(const wchar_t *logPath)
{
    if (logPath == NULL)
        return TRUE;
    g_log = CreateFileW(logPath, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    return g_log != INVALID_HANDLE_VALUE;
}

/* The same line, in UTF-8, on standard output and in the log. */
void Report(const wchar_t *format, ...)
{
    va_list args, again;

    va_start(args, format);
    va_copy(again, args);
    WriteLineV(GetStdHandle(STD_OUTPUT_HANDLE), NULL, format, args);
    if (g_log != INVALID_HANDLE_VALUE)
        WriteLineV(g_log, NULL, format, again);
    va_end(again);
    va_end(args);
}

/* The device installer passes the last co-installer's answer on as the
   installation's result. */
void ReportInstallation(DWORD result)
{
    Report(L"installation: %ls (0x%08lX)", result == NO_ERROR ? L"installed" : L"failed", (unsigned long)result);
}

void CloseReport(void)
{
    if (g_log != INVALID_HANDLE_VALUE)
        CloseHandle(g_log);
    g_log = INVALID_HANDLE_VALUE;
}

/* The worker is stuck inside a co-installer or SetupAPI, perhaps holding the
   loader's or the heap's lock: ExitProcess would run every DLL's detach code
   after killing it, and could deadlock there. TerminateProcess runs none. */
void EndTimedOut(void)
{
    if (g_log != INVALID_HANDLE_VALUE)
        FlushFileBuffers(g_log);
    TerminateProcess(GetCurrentProcess(), EXIT_TIMED_OUT);
}
