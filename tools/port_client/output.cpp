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

/* The format uses %ls for wide strings. Written as narrow text: standard
   error is in binary mode, where wide output would go out as UTF-16. */
void PrintError(const wchar_t *format, ...)
{
    wchar_t wide[1024];
    char narrow[2048];
    va_list args;
    int n;

    va_start(args, format);
    n = _vsnwprintf(wide, 1023, format, args);
    va_end(args);
    wide[n < 0 ? 1023 : n] = L'\0';
    if (!WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof(narrow), NULL, NULL))
        narrow[0] = '\0';
    fprintf(stderr, "port_client: %s\n", narrow);
    fflush(stderr);
}
