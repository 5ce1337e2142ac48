/*
 * demo_driver's lines: results on standard output, complaints on standard
 * error, each written out at once so they interleave with the live trace.
 */
#include <stdarg.h>
#include <stdio.h>
#include "demo.h"

static void WriteLine(HANDLE h, const wchar_t *prefix, const wchar_t *format, va_list args)
{
    wchar_t wide[2048];
    char bytes[6144];
    DWORD written;
    int n = _vsnwprintf(wide, 2000, format, args);
    if (n < 0)
        n = 2000;
    wide[n] = L'\0';
    n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, bytes, sizeof(bytes) - 1, NULL, NULL);
    if (n <= 0)
        return;
    bytes[n - 1] = '\n';
    if (prefix)
        WriteFile(h, "demo_driver: ", 13, &written, NULL);
    WriteFile(h, bytes, (DWORD)n, &written, NULL);
}

void Say(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    WriteLine(GetStdHandle(STD_OUTPUT_HANDLE), NULL, format, args);
    va_end(args);
}

void Complain(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    WriteLine(GetStdHandle(STD_ERROR_HANDLE), L"demo_driver: ", format, args);
    va_end(args);
}
