/*
 * In-process capture of debug-output lines. OutputDebugString raises a
 * printing exception (wide first on newer Windows, then the ANSI one); the
 * handler copies the text and lets the search go on, so nothing else changes.
 */
#include "trace_capture.h"

#include <windows.h>

#ifndef DBG_PRINTEXCEPTION_WIDE_C
#define DBG_PRINTEXCEPTION_WIDE_C 0x4001000A
#endif

static CRITICAL_SECTION g_lock;
static bool g_lockReady = false;
static PVOID g_handler = NULL;
static std::vector<std::wstring> g_lines;
static bool g_lastWasWide = false;

static LONG CALLBACK OnDebugPrint(EXCEPTION_POINTERS *info)
{
    const EXCEPTION_RECORD *rec = info->ExceptionRecord;
    if (rec->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    if (rec->ExceptionCode == DBG_PRINTEXCEPTION_WIDE_C) {
        const wchar_t *text = (const wchar_t *)rec->ExceptionInformation[1];
        EnterCriticalSection(&g_lock);
        g_lines.push_back(text ? text : L"");
        g_lastWasWide = true;
        LeaveCriticalSection(&g_lock);
    } else if (rec->ExceptionCode == DBG_PRINTEXCEPTION_C) {
        const char *text = (const char *)rec->ExceptionInformation[1];
        EnterCriticalSection(&g_lock);
        if (g_lastWasWide) {
            g_lastWasWide = false;   /* the ANSI copy of a line already taken */
        } else {
            int n = MultiByteToWideChar(CP_ACP, 0, text ? text : "", -1, NULL, 0);
            std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
            if (n > 1)
                MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], n);
            g_lines.push_back(wide);
        }
        LeaveCriticalSection(&g_lock);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void StartTraceCapture(void)
{
    if (!g_lockReady) {
        InitializeCriticalSection(&g_lock);
        g_lockReady = true;
    }
    EnterCriticalSection(&g_lock);
    g_lines.clear();
    g_lastWasWide = false;
    LeaveCriticalSection(&g_lock);
    if (!g_handler)
        g_handler = AddVectoredExceptionHandler(1, OnDebugPrint);
}

std::vector<std::wstring> CapturedLines(void)
{
    if (!g_lockReady)
        return {};
    EnterCriticalSection(&g_lock);
    std::vector<std::wstring> copy = g_lines;
    LeaveCriticalSection(&g_lock);
    return copy;
}

std::vector<std::wstring> StopTraceCapture(void)
{
    if (g_handler) {
        RemoveVectoredExceptionHandler(g_handler);
        g_handler = NULL;
    }
    return CapturedLines();
}
