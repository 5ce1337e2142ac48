/*
 * What the stand-in port client tells its caller: one line per event on
 * standard output ("held 2", "released 2", ...); errors are notices on
 * standard error. Every line is flushed at once so that a parent reading a
 * pipe sees it while the client still runs (a hold may last seconds).
 */
#include <stdio.h>
#include "client.h"

void PrintLine(const char *word, const wchar_t *port)
{
    printf("%s %ls\n", word, port);
    fflush(stdout);
}
