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

BOOL PutText(HANDLE h, const wchar_t *text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    char *bytes = n > 1 ? (char *)HeapAlloc(GetProcessHeap(), 0, n) : NULL;
    DWORD written = 0;
    BOOL ok = bytes != NULL && WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, n, NULL, NULL) == n &&
              WriteFile(h, bytes, (DWORD)(n - 1), &written, NULL) && written == (DWORD)(n - 1);

    if (bytes != NULL)
        HeapFree(GetProcessHeap(), 0, bytes);
    return ok;
}

void Notice(const wchar_t *format, ...)
{
    va_list args;

    va_start(args, format);
    WriteLineV(GetStdHandle(STD_ERROR_HANDLE), g_programName, format, args);
    va_end(args);
}

void Say(const wchar_t *format, ...)
{
    va_list args;

    va_start(args, format);
    WriteLineV(GetStdHandle(STD_OUTPUT_HANDLE), NULL, format, args);
    va_end(args);
}
