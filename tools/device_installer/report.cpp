/*
 * The device_installer tool's report: one line per step, on the console and
 * in the log file when one was asked for (a debugged child's console is not
 * read by the tests, its log file is).
 */
#include <stdarg.h>
#include <stdio.h>
#include "installer.h"

static FILE *g_log = NULL;

BOOL OpenReport(const wchar_t *logPath)
{
    if (logPath == NULL)
        return TRUE;
    g_log = _wfopen(logPath, L"w");
    return g_log != NULL;
}

void Report(const wchar_t *format, ...)
{
    wchar_t line[2048];
    va_list args;
    int n;

    va_start(args, format);
    n = _vsnwprintf(line, 2047, format, args);
    va_end(args);
    if (n < 0)
        n = 2047;
    line[n] = L'\0';
    fwprintf(stdout, L"%ls\n", line);
    fflush(stdout);
    if (g_log != NULL) {
        fwprintf(g_log, L"%ls\n", line);
        fflush(g_log);
    }
}

void CloseReport(void)
{
    if (g_log != NULL)
        fclose(g_log);
    g_log = NULL;
}
