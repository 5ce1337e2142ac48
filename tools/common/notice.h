/*
 * What a tool tells the person running it: a notice is one line of UTF-8 on
 * standard error after the program's name ("trace_viewer: ..."); Say writes
 * one line of results on standard output, WriteLineV a line anywhere (a log
 * file), PutText a whole text such as a usage, all in UTF-8.
 */
#ifndef NOTICE_H
#define NOTICE_H

#include <windows.h>
#include <stdarg.h>

/* The name notices begin with; each program defines it. */
extern const wchar_t g_programName[];

/* The formats are _vsnwprintf's: %ls is a wide string. */
void Notice(const wchar_t *format, ...);
void Say(const wchar_t *format, ...);
/* One line, after "name: " unless name is NULL; FALSE when not written. */
BOOL WriteLineV(HANDLE h, const wchar_t *name, const wchar_t *format, va_list args);
BOOL PutText(HANDLE h, const wchar_t *text);

#endif /* NOTICE_H */
