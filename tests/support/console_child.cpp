/*
 * A running console child whose output is collected by a reader thread (see
 * console_child.h). The reader polls the pipe rather than blocking in it, so
 * it stops when asked even if some other process keeps the write end open.
 */
#include "console_child.h"

#include <stdio.h>
#include <vector>

struct ConsoleChild {
    PROCESS_INFORMATION pi = {};
    HANDLE readEnd = NULL;
    HANDLE reader = NULL;
    HANDLE changed = NULL;     /* auto-reset: more output or the end */
    volatile LONG stop = 0;
    CRITICAL_SECTION lock;
    std::string output;
    bool drained = false;      /* the process ended and the pipe is empty */
};

static bool Drain(ConsoleChild *c)
{
    char buf[4096];
    bool any = false;
    for (;;) {
        DWORD avail = 0, got = 0;
        if (!PeekNamedPipe(c->readEnd, NULL, 0, NULL, &avail, NULL) || avail == 0)
            return any;
        if (!ReadFile(c->readEnd, buf, sizeof(buf), &got, NULL) || got == 0)
            return any;
        EnterCriticalSection(&c->lock);
        c->output.append(buf, got);
        LeaveCriticalSection(&c->lock);
        any = true;
    }
}

static DWORD WINAPI ReaderThread(void *param)
{
    ConsoleChild *c = (ConsoleChild *)param;
    while (!c->stop) {
        bool exited = WaitForSingleObject(c->pi.hProcess, 10) == WAIT_OBJECT_0;
        if (Drain(c))
            SetEvent(c->changed);
        if (exited) {
            Drain(c);
            EnterCriticalSection(&c->lock);
            c->drained = true;
            LeaveCriticalSection(&c->lock);
            SetEvent(c->changed);
            break;
        }
    }
    return 0;
}

ConsoleChild *StartConsoleChild(const std::wstring &commandLine, std::wstring *error)
{
    SECURITY_ATTRIBUTES sa = { sizeof(sa), NULL, TRUE };
    HANDLE writeEnd = NULL;
    ConsoleChild *c = new ConsoleChild;
    InitializeCriticalSection(&c->lock);
    c->changed = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (!CreatePipe(&c->readEnd, &writeEnd, &sa, 0)) {
        if (error)
            *error = L"CreatePipe failed with error " + std::to_wstring(GetLastError());
        CloseConsoleChild(c);
        return nullptr;
    }
    SetHandleInformation(c->readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(0);
    BOOL ok = FALSE;
    for (int attempt = 0; attempt < 5 && !ok; attempt++) {
        ok = CreateProcessW(NULL, cmd.data(), NULL, NULL, TRUE, 0, NULL, NULL, &si, &c->pi);
        if (!ok && GetLastError() != 1359)
            break;
        if (!ok) {
            fprintf(stderr, "[harness] CreateProcessW failed with 1359, starting again\n");
            Sleep(200);
        }
    }
    DWORD startError = GetLastError();
    CloseHandle(writeEnd);
    if (!ok) {
        if (error)
            *error = L"CreateProcessW(" + commandLine + L") failed with error " + std::to_wstring(startError);
        CloseConsoleChild(c);
        return nullptr;
    }
    c->reader = CreateThread(NULL, 0, ReaderThread, c, 0, NULL);
    return c;
}

std::string ConsoleOutput(ConsoleChild *c)
{
    EnterCriticalSection(&c->lock);
    std::string copy = c->output;
    LeaveCriticalSection(&c->lock);
    return copy;
}

bool WaitForConsoleOutput(ConsoleChild *c, const std::string &text, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        EnterCriticalSection(&c->lock);
        bool found = c->output.find(text) != std::string::npos;
        bool ended = c->drained;
        LeaveCriticalSection(&c->lock);
        if (found)
            return true;
        DWORD spent = GetTickCount() - start;
        if (ended || spent >= timeoutMs)
            return false;
        WaitForSingleObject(c->changed, timeoutMs - spent < 100 ? timeoutMs - spent : 100);
    }
}

bool WaitConsoleExit(ConsoleChild *c, DWORD timeoutMs, DWORD *exitCode)
{
    if (WaitForSingleObject(c->pi.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (c->reader)
        WaitForSingleObject(c->reader, 5000);
    if (exitCode)
        GetExitCodeProcess(c->pi.hProcess, exitCode);
    return true;
}

void CloseConsoleChild(ConsoleChild *c)
{
    if (!c)
        return;
    if (c->pi.hProcess && WaitForSingleObject(c->pi.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(c->pi.hProcess, 0xDEAD);
        WaitForSingleObject(c->pi.hProcess, 10000);
    }
    InterlockedExchange(&c->stop, 1);
    if (c->reader) {
        WaitForSingleObject(c->reader, 10000);
        CloseHandle(c->reader);
    }
    if (c->pi.hThread)
        CloseHandle(c->pi.hThread);
    if (c->pi.hProcess)
        CloseHandle(c->pi.hProcess);
    if (c->readEnd)
        CloseHandle(c->readEnd);
    CloseHandle(c->changed);
    DeleteCriticalSection(&c->lock);
    delete c;
}
