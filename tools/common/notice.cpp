/*
 * The tools' notices and lines (see notice.h). Each line is formatted whole
 * and written in one piece, so lines of several writers do not mix.
 */
#include <stdio.h>
#include "notice.h"

#define LINE_UNITS 2048

BOOL WriteLineV(HANDLE h, const wchar_t *name, const wchar_t *format, va_list args)
{
    wchar_t wide[LINE_UNITS];
    char bytes[LINE_UNITS * 3 + 1];   /* at most three bytes a unit, and the line end */
    DWORD written;
    int at = name ? _snwprintf(wide, 64, L"%ls: ", name) : 0;
    int n;

    if (at < 0)
        at = 0;
    n = _vsnwprintf(wide + at, LINE_UNITS - at, format, args);
    n = WideCharToMultiByte(CP_UTF8, 0, wide, at + (n < 0 ? LINE_UNITS - at : n), bytes, LINE_UNITS * 3, NULL,
                            NULL);
    bytes[n++] = '\n';
    return WriteFile(h, bytes, (DWORD)n, &written, NULL) && written == (DWORD)n;
}

void Notice(const wchar_t *format, ...)
{
    va_list args;

    va_start(args, format);
    WriteLineV(GetStdHandle(STD_ERROR_HANDLE), g_programName, format, args);
    va_end(args);
}
