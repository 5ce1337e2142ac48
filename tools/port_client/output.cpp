/*
 * What the stand-in port client tells its caller: one line per event on
 * standard output ("held 2", "released 2", ...), errors on standard error.
 * Every line is flushed at once so that a parent reading a pipe sees it while
 * the client still runs (a hold may last seconds).
 */
#include <stdarg.h>
#include <stdio.h>
#include "client.h"

void PrintLine(const char *word, const wchar_t *port)
{
    printf("%s %ls\n", word, port);
    fflush(stdout);
}

/* The format uses %ls for wide strings. */
void PrintError(const wchar_t *format, ...)
{
    va_list args;

    fputws(L"port_client: ", stderr);
    va_start(args, format);
    vfwprintf(stderr, format, args);
    va_end(args);
    fputws(L"\n", stderr);
    fflush(stderr);
}
