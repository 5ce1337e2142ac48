/*
 * What the viewer prints. One line per trace:
 *
 *     hh:mm:ss.mmm C    pid text
 *
 * local time of arrival, the channel's mark C (S this session, G session 0),
 * the writer's process id (right-aligned in six columns) and its text. The one line end that closes a trace is dropped;
 * line ends inside it are shown as \n (and \r), other control characters as
 * \xNN, so every trace stays on one line whether it has several line ends or
 * none. Lines go to the console as text, or as UTF-8 with "\n" line ends when
 * standard output is a file or a pipe, and to the --log file in UTF-8 too.
 */
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include "viewer.h"

/* A trace of up to 4091 bytes, each shown in at most four units, plus time, mark and pid. */
#define LINE_UNITS   (CHANNEL_TEXT_BYTES * 4 + 64)
#define OUT_BYTES    65536

static const wchar_t kMarks[CHANNEL_COUNT] = { L'S', L'G' };

static HANDLE g_hOut = NULL;
static BOOL g_bConsole = FALSE;
static HANDLE g_hLog = INVALID_HANDLE_VALUE;
static const wchar_t *g_logPath = NULL;
static char g_outBuffer[OUT_BYTES];
static DWORD g_cbOut = 0;
static char g_logBuffer[OUT_BYTES];
static DWORD g_cbLog = 0;
static wchar_t g_line[LINE_UNITS];
static wchar_t g_text[CHANNEL_TEXT_BYTES + 1];
static char g_utf8[LINE_UNITS * 3];
static_assert(sizeof(g_utf8) <= OUT_BYTES, "a line fits in an empty buffer");

BOOL OpenOutput(const ViewerOptions *options)
{
    DWORD mode;

    g_hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    g_bConsole = (g_hOut != NULL && g_hOut != INVALID_HANDLE_VALUE && GetConsoleMode(g_hOut, &mode));
    g_logPath = options->strLogPath;
    if (g_logPath) {
        g_hLog = CreateFileW(g_logPath, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, NULL);
        if (g_hLog == INVALID_HANDLE_VALUE) {
            Notice(L"cannot write the log file %ls (error %lu)", g_logPath, GetLastError());
            return FALSE;
        }
    }
    return TRUE;
}

/* The record's text in UTF-16, from the writer's ANSI code page. */
static int DecodeText(const TraceRecord *record)
{
    int n = 0;
    if (record->cbText > 0)
        n = MultiByteToWideChar(CP_ACP, 0, record->text, (int)record->cbText, g_text, CHANNEL_TEXT_BYTES);
    if (n < 0)
        n = 0;
    g_text[n] = L'\0';
    return n;
}

static BOOL StartsWithTag(const wchar_t *text, const wchar_t *tag)
{
    size_t n = wcslen(tag);
    return _wcsnicmp(text, tag, n) == 0;
}

BOOL WantRecord(const ViewerOptions *options, const TraceRecord *record)
{
    if (options->nTags == 0)
        return TRUE;
    DecodeText(record);
    for (int i = 0; i < options->nTags; i++)
        if (StartsWithTag(g_text, options->tags[i]))
            return TRUE;
    return FALSE;
}

/* Appends text to the line at *at, shown as described above. */
static void AppendShown(const wchar_t *text, int units, int *at)
{
    /* The one line end that closes the trace. */
    if (units > 0 && text[units - 1] == L'\n')
        units--;
    if (units > 0 && text[units - 1] == L'\r')
        units--;
    for (int i = 0; i < units; i++) {
        wchar_t c = text[i];
        if (c == L'\r' && i + 1 < units && text[i + 1] == L'\n')
            continue;   /* \r\n is shown as one \n */
        if (c == L'\n') {
            g_line[(*at)++] = L'\\';
            g_line[(*at)++] = L'n';
        } else if (c == L'\r') {
            g_line[(*at)++] = L'\\';
            g_line[(*at)++] = L'r';
        } else if (c < 0x20 && c != L'\t') {
            *at += swprintf(g_line + *at, 5, L"\\x%02X", (unsigned)c);
        } else {
            g_line[(*at)++] = c;
        }
    }
}

/* Writes out a buffer and empties it; FALSE when a write failed. */
static BOOL WriteOut(HANDLE h, const char *buffer, DWORD *cbUsed)
{
    DWORD at = 0, written = 0;
    while (at < *cbUsed && WriteFile(h, buffer + at, *cbUsed - at, &written, NULL) && written > 0)
        at += written;
    BOOL ok = at == *cbUsed;
    *cbUsed = 0;
    return ok;
}

/* Adds a line to a buffer, writing the buffer out first when the line would
   not fit; FALSE when that write failed. */
static BOOL Buffer(HANDLE h, char *buffer, DWORD *cbUsed, const char *bytes, DWORD cb)
{
    BOOL ok = *cbUsed + cb <= OUT_BYTES || WriteOut(h, buffer, cbUsed);
    memcpy(buffer + *cbUsed, bytes, cb);
    *cbUsed += cb;
    return ok;
}

/* A write to the log failed: said once, and the log is written no more. */
static BOOL LogFailed(void)
{
    Notice(L"cannot write the log file %ls (error %lu)", g_logPath, GetLastError());
    CloseHandle(g_hLog);
    g_hLog = INVALID_HANDLE_VALUE;
    return FALSE;
}

BOOL PrintRecord(const ViewerOptions *options, const TraceRecord *record, BOOL *matchedUntil)
{
    int units = DecodeText(record);
    int at, prefix;
    int cb;

    at = swprintf(g_line, 32, L"%02u:%02u:%02u.%03u %lc %6lu ", record->time.wHour, record->time.wMinute,
                  record->time.wSecond, record->time.wMilliseconds, (wint_t)kMarks[record->channel],
                  (unsigned long)record->dwPid);
    if (at < 0)
        return FALSE;
    prefix = at;
    AppendShown(g_text, units, &at);
    g_line[at] = L'\0';
    *matchedUntil = options->strUntil != NULL && wcsstr(g_line + prefix, options->strUntil) != NULL;

    cb = WideCharToMultiByte(CP_UTF8, 0, g_line, at, g_utf8, sizeof(g_utf8) - 1, NULL, NULL);
    if (cb < 0)
        cb = 0;
    g_utf8[cb++] = '\n';
    if (g_bConsole) {
        DWORD written;
        g_line[at++] = L'\n';
        WriteConsoleW(g_hOut, g_line, (DWORD)at, &written, NULL);
    } else {
        Buffer(g_hOut, g_outBuffer, &g_cbOut, g_utf8, (DWORD)cb);
    }
    if (g_hLog != INVALID_HANDLE_VALUE && !Buffer(g_hLog, g_logBuffer, &g_cbLog, g_utf8, (DWORD)cb))
        return LogFailed();
    return options->bFlushEachLine ? FlushOutput() : TRUE;
}

BOOL FlushOutput(void)
{
    WriteOut(g_hOut, g_outBuffer, &g_cbOut);
    if (g_hLog != INVALID_HANDLE_VALUE && !WriteOut(g_hLog, g_logBuffer, &g_cbLog))
        return LogFailed();
    return TRUE;
}

BOOL CloseOutput(void)
{
    BOOL ok = FlushOutput();
    if (g_hLog != INVALID_HANDLE_VALUE)
        CloseHandle(g_hLog);
    g_hLog = INVALID_HANDLE_VALUE;
    return ok;
}
