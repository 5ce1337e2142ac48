/*
 * The clock and the bench's output: one line per measured round on standard
 * output, notes and errors on standard error.
 */
#include <stdarg.h>
#include <stdio.h>
#include "bench.h"

static LARGE_INTEGER g_frequency;

void StartClock(void)
{
    QueryPerformanceFrequency(&g_frequency);
}

LONGLONG Now(void)
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

double MicrosecondsSince(LONGLONG start)
{
    return (double)(Now() - start) * 1e6 / (double)g_frequency.QuadPart;
}

void PrintRound(const wchar_t *group, int x, const wchar_t *side, int round, double us)
{
    printf("ROUND %ls %d %ls %d %.3f\n", group, x, side, round, us);
    fflush(stdout);
}

static void PrintTo(FILE *stream, const char *prefix, const wchar_t *format, va_list args)
{
    wchar_t text[1024];
    int n = _vsnwprintf(text, 1023, format, args);
    text[n < 0 ? 1023 : n] = L'\0';
    fprintf(stream, "%s%ls\n", prefix, text);
    fflush(stream);
}

void PrintNote(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    PrintTo(stderr, "bench: ", format, args);
    va_end(args);
}

void PrintError(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    PrintTo(stderr, "bench: error: ", format, args);
    va_end(args);
}
