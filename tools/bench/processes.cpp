/*
 * The programs the bench drives: the real guard and the floor window, each a
 * process of its own reached by messages to its window. Processes started
 * here inherit the bench's processor affinity (run_bench.sh pins it).
 */
#include "bench.h"

BOOL StartProgram(const wchar_t *commandLine, PROCESS_INFORMATION *pi)
{
    STARTUPINFOW si;
    wchar_t line[BENCH_PATH_UNITS * 2];

    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    lstrcpynW(line, commandLine, sizeof(line) / sizeof(line[0]));
    /* Wine now and then refuses a start with 1359; a second try works. */
    for (int attempt = 0; attempt < 5; attempt++) {
        if (CreateProcessW(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &si, pi))
            return TRUE;
        if (GetLastError() != 1359)
            break;
        Sleep(200);
    }
    Notice(L"error: cannot start %ls (error %lu)", commandLine, GetLastError());
    return FALSE;
}

HWND FindWindowOfProcess(const wchar_t *className, DWORD pid, DWORD timeoutMs)
{
    DWORD start = GetTickCount();

    for (;;) {
        HWND window = NULL;
        while ((window = FindWindowExW(NULL, window, className, NULL)) != NULL) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == pid)
                return window;
        }
        if (GetTickCount() - start >= timeoutMs)
            return NULL;
        Sleep(20);
    }
}

/* Every message the bench sends gets an answer within 20 s or counts as
   lost: the longest handler (a suspend wait) takes 1.9 s. */
BOOL SendBounded(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR *answer)
{
    DWORD_PTR ignored;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 20000,
                             answer ? answer : &ignored)) {
        Notice(L"error: message 0x%04x not answered (error %lu)", message, GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL CloseWindowProgram(HWND window, PROCESS_INFORMATION *pi, DWORD timeoutMs, DWORD *exitCode)
{
    BOOL ok = TRUE;

    if (window && !SendBounded(window, WM_CLOSE, 0, 0, NULL))
        ok = FALSE;
    if (WaitForSingleObject(pi->hProcess, timeoutMs) != WAIT_OBJECT_0) {
        Notice(L"error: process %lu did not end; ending it", pi->dwProcessId);
        TerminateProcess(pi->hProcess, 0xDEAD);
        WaitForSingleObject(pi->hProcess, 5000);
        ok = FALSE;
    }
    if (exitCode && !GetExitCodeProcess(pi->hProcess, exitCode))
        *exitCode = 0xFFFFFFFF;
    CloseHandle(pi->hThread);
    CloseHandle(pi->hProcess);
    return ok;
}
