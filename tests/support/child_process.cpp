/*
 * Children of a test: under a debugger loop (lossless ordered trace, first-
 * chance exceptions, hold at exit) or plain (exit code, console output).
 */
#include "child_process.h"

#include <stdio.h>

namespace {

const DWORD kStartRetries = 5;

struct Shared {
    CRITICAL_SECTION lock;
    HANDLE changed;                 /* auto-reset: a line, an exception or the exit */
    std::vector<std::wstring> lines;
    std::vector<DWORD> exceptions;
    bool started = false;
    bool exited = false;
    DWORD exitCode = STILL_ACTIVE;
};

}  // namespace

struct DebugChild {
    std::wstring commandLine;
    ChildOptions options;
    std::wstring startError;
    HANDLE loopThread = NULL;
    HANDLE startedEvent = NULL;     /* manual: the start has been tried */
    HANDLE atExitEvent = NULL;      /* manual: stopped at the exit breakpoint */
    HANDLE releaseEvent = NULL;     /* manual: let it exit */
    PROCESS_INFORMATION pi = {};
    Shared shared;
};

static void Signal(DebugChild *child)
{
    SetEvent(child->shared.changed);
}

static std::wstring ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO &info)
{
    std::wstring text;
    SIZE_T got = 0;
    if (info.fUnicode) {
        std::vector<wchar_t> buf(info.nDebugStringLength + 1, 0);
        ReadProcessMemory(process, info.lpDebugStringData, buf.data(),
                          info.nDebugStringLength * sizeof(wchar_t), &got);
        text.assign(buf.data());
    } else {
        std::vector<char> buf(info.nDebugStringLength + 1, 0);
        ReadProcessMemory(process, info.lpDebugStringData, buf.data(), info.nDebugStringLength, &got);
        int n = MultiByteToWideChar(CP_ACP, 0, buf.data(), -1, NULL, 0);
        std::vector<wchar_t> wide(n > 0 ? n : 1, 0);
        if (n > 0)
            MultiByteToWideChar(CP_ACP, 0, buf.data(), -1, wide.data(), n);
        text.assign(wide.data());
    }
    return text;
}

/* The exit breakpoint: ntdll is mapped at the same address in every process. */
static void *ExitRoutineAddress(void)
{
    return (void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlExitUserProcess");
}

static DWORD WINAPI DebugLoop(void *param)
{
    DebugChild *child = (DebugChild *)param;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    if (child->options.showState >= 0) {
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = (WORD)child->options.showState;
    }
    std::vector<wchar_t> cmd(child->commandLine.begin(), child->commandLine.end());
    cmd.push_back(0);

    BOOL ok = FALSE;
    for (DWORD attempt = 0; attempt < kStartRetries && !ok; attempt++) {
        ok = CreateProcessW(NULL, cmd.data(), NULL, NULL, FALSE, DEBUG_ONLY_THIS_PROCESS, NULL,
                            child->options.workingDirectory.empty() ? NULL
                                : child->options.workingDirectory.c_str(),
                            &si, &child->pi);
        if (!ok && GetLastError() == 1359) {
            fprintf(stderr, "[harness] CreateProcessW failed with 1359, starting again\n");
            Sleep(200);
            continue;
        }
        if (!ok)
            break;
    }
    if (!ok) {
        child->startError = L"CreateProcessW failed with error " + std::to_wstring(GetLastError());
        SetEvent(child->startedEvent);
        return 1;
    }
    child->shared.started = true;
    SetEvent(child->startedEvent);

    void *exitAddress = ExitRoutineAddress();
    BYTE savedByte = 0;
    bool exitBreakSet = false;
    bool sawLoaderBreak = false;

    for (;;) {
        DEBUG_EVENT ev;
        if (!WaitForDebugEvent(&ev, 500))
            continue;
        DWORD status = DBG_CONTINUE;
        /* Only the child's own events count. Under Wine a start refused with
           1359 may still have made a debuggee that ends on its own; its exit
           must not pass for the child's. */
        if (ev.dwProcessId != child->pi.dwProcessId) {
            if (ev.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && ev.u.CreateProcessInfo.hFile)
                CloseHandle(ev.u.CreateProcessInfo.hFile);
            if (ev.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && ev.u.LoadDll.hFile)
                CloseHandle(ev.u.LoadDll.hFile);
            if (ev.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
                ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
            if (ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
                fprintf(stderr, "[harness] process %lu (not the child, %lu) ended with %lu\n",
                        (unsigned long)ev.dwProcessId, (unsigned long)child->pi.dwProcessId,
                        (unsigned long)ev.u.ExitProcess.dwExitCode);
            ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
            continue;
        }
        switch (ev.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (ev.u.CreateProcessInfo.hFile)
                CloseHandle(ev.u.CreateProcessInfo.hFile);
            if (child->options.holdAtExit && exitAddress) {
                SIZE_T n = 0;
                BYTE int3 = 0xCC;
                if (ReadProcessMemory(child->pi.hProcess, exitAddress, &savedByte, 1, &n) &&
                    WriteProcessMemory(child->pi.hProcess, exitAddress, &int3, 1, &n)) {
                    FlushInstructionCache(child->pi.hProcess, exitAddress, 1);
                    exitBreakSet = true;
                }
            }
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (ev.u.LoadDll.hFile)
                CloseHandle(ev.u.LoadDll.hFile);
            break;
        case OUTPUT_DEBUG_STRING_EVENT: {
            std::wstring text = ReadDebugString(child->pi.hProcess, ev.u.DebugString);
            EnterCriticalSection(&child->shared.lock);
            child->shared.lines.push_back(text);
            LeaveCriticalSection(&child->shared.lock);
            Signal(child);
            break;
        }
        case EXCEPTION_DEBUG_EVENT: {
            const EXCEPTION_RECORD &rec = ev.u.Exception.ExceptionRecord;
            if (rec.ExceptionCode == EXCEPTION_BREAKPOINT && exitBreakSet &&
                rec.ExceptionAddress == exitAddress) {
                /* Put the routine back, rewind to it, and hold the child here. */
                SIZE_T n = 0;
                WriteProcessMemory(child->pi.hProcess, exitAddress, &savedByte, 1, &n);
                FlushInstructionCache(child->pi.hProcess, exitAddress, 1);
                HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, ev.dwThreadId);
                if (thread) {
                    CONTEXT ctx = {};
                    ctx.ContextFlags = CONTEXT_CONTROL;
                    if (GetThreadContext(thread, &ctx)) {
                        ctx.Rip = (DWORD64)exitAddress;
                        SetThreadContext(thread, &ctx);
                    }
                    CloseHandle(thread);
                }
                exitBreakSet = false;
                SetEvent(child->atExitEvent);
                Signal(child);
                WaitForSingleObject(child->releaseEvent, INFINITE);
            } else if (rec.ExceptionCode == EXCEPTION_BREAKPOINT && !sawLoaderBreak) {
                sawLoaderBreak = true;   /* the loader's own breakpoint */
            } else if (rec.ExceptionCode == 0x406D1388) {
                status = DBG_EXCEPTION_NOT_HANDLED;   /* thread naming */
            } else {
                if (ev.u.Exception.dwFirstChance) {
                    EnterCriticalSection(&child->shared.lock);
                    child->shared.exceptions.push_back(rec.ExceptionCode);
                    LeaveCriticalSection(&child->shared.lock);
                    Signal(child);
                }
                status = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        }
        case EXIT_PROCESS_DEBUG_EVENT:
            EnterCriticalSection(&child->shared.lock);
            child->shared.exitCode = ev.u.ExitProcess.dwExitCode;
            child->shared.exited = true;
            LeaveCriticalSection(&child->shared.lock);
            break;
        default:
            break;
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
        if (ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
            Signal(child);
            break;
        }
    }
    return 0;
}

DebugChild *StartDebugChild(const std::wstring &commandLine, const ChildOptions &options,
                            std::wstring *error)
{
    DebugChild *child = new DebugChild;
    child->commandLine = commandLine;
    child->options = options;
    InitializeCriticalSection(&child->shared.lock);
    child->shared.changed = CreateEventW(NULL, FALSE, FALSE, NULL);
    child->startedEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    child->atExitEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    child->releaseEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    child->loopThread = CreateThread(NULL, 0, DebugLoop, child, 0, NULL);
    if (!child->loopThread || WaitForSingleObject(child->startedEvent, 30000) != WAIT_OBJECT_0 ||
        !child->shared.started) {
        if (error)
            *error = child->startError.empty() ? L"debug loop did not start" : child->startError;
        CloseDebugChild(child);
        return nullptr;
    }
    return child;
}

DWORD ChildProcessId(DebugChild *child) { return child->pi.dwProcessId; }
HANDLE ChildProcessHandle(DebugChild *child) { return child->pi.hProcess; }

std::vector<std::wstring> ChildLines(DebugChild *child)
{
    EnterCriticalSection(&child->shared.lock);
    std::vector<std::wstring> copy = child->shared.lines;
    LeaveCriticalSection(&child->shared.lock);
    return copy;
}

size_t ChildLineCount(DebugChild *child)
{
    EnterCriticalSection(&child->shared.lock);
    size_t n = child->shared.lines.size();
    LeaveCriticalSection(&child->shared.lock);
    return n;
}

std::vector<DWORD> ChildExceptions(DebugChild *child)
{
    EnterCriticalSection(&child->shared.lock);
    std::vector<DWORD> copy = child->shared.exceptions;
    LeaveCriticalSection(&child->shared.lock);
    return copy;
}

/* Waits on the change event until check() holds or the time is up. */
template <typename Check>
static bool WaitUntil(DebugChild *child, DWORD timeoutMs, Check check)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (check())
            return true;
        DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs)
            return check();
        WaitForSingleObject(child->shared.changed, timeoutMs - spent < 100 ? timeoutMs - spent : 100);
    }
}

int WaitForChildLine(DebugChild *child, const std::wstring &text, DWORD timeoutMs, size_t fromIndex)
{
    int found = -1;
    WaitUntil(child, timeoutMs, [&]() {
        EnterCriticalSection(&child->shared.lock);
        for (size_t i = fromIndex; i < child->shared.lines.size() && found < 0; i++)
            if (child->shared.lines[i].find(text) != std::wstring::npos)
                found = (int)i;
        LeaveCriticalSection(&child->shared.lock);
        return found >= 0;
    });
    return found;
}

bool WaitForChildLineCount(DebugChild *child, size_t count, DWORD timeoutMs)
{
    return WaitUntil(child, timeoutMs, [&]() { return ChildLineCount(child) >= count; });
}

bool WaitChildAtExit(DebugChild *child, DWORD timeoutMs)
{
    HANDLE both[2] = { child->atExitEvent, child->loopThread };
    return WaitForMultipleObjects(2, both, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

void ReleaseChildAtExit(DebugChild *child)
{
    SetEvent(child->releaseEvent);
}

bool WaitChildExit(DebugChild *child, DWORD timeoutMs, DWORD *exitCode)
{
    ReleaseChildAtExit(child);
    if (WaitForSingleObject(child->loopThread, timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        *exitCode = child->shared.exitCode;
    return child->shared.exited;
}

void CloseDebugChild(DebugChild *child)
{
    if (!child)
        return;
    if (child->loopThread) {
        SetEvent(child->releaseEvent);
        if (WaitForSingleObject(child->loopThread, 0) != WAIT_OBJECT_0 && child->pi.hProcess) {
            TerminateProcess(child->pi.hProcess, 0xDEAD);
            WaitForSingleObject(child->loopThread, 10000);
        }
        CloseHandle(child->loopThread);
    }
    if (child->pi.hThread)
        CloseHandle(child->pi.hThread);
    if (child->pi.hProcess)
        CloseHandle(child->pi.hProcess);
    CloseHandle(child->startedEvent);
    CloseHandle(child->atExitEvent);
    CloseHandle(child->releaseEvent);
    CloseHandle(child->shared.changed);
    DeleteCriticalSection(&child->shared.lock);
    delete child;
}

static BOOL CreateWithRetry(std::vector<wchar_t> &cmd, BOOL inherit, STARTUPINFOW *si,
                            PROCESS_INFORMATION *pi)
{
    for (DWORD attempt = 0; attempt < kStartRetries; attempt++) {
        if (CreateProcessW(NULL, cmd.data(), NULL, NULL, inherit, 0, NULL, NULL, si, pi))
            return TRUE;
        if (GetLastError() != 1359)
            return FALSE;
        fprintf(stderr, "[harness] CreateProcessW failed with 1359, starting again\n");
        Sleep(200);
    }
    return FALSE;
}

bool StartProcess(const std::wstring &commandLine, PROCESS_INFORMATION *pi)
{
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(0);
    return CreateWithRetry(cmd, FALSE, &si, pi) != FALSE;
}

bool RunProcess(const std::wstring &commandLine, DWORD timeoutMs, DWORD *exitCode, std::string *output)
{
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    HANDLE readEnd = NULL, writeEnd = NULL;
    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(0);

    if (output) {
        SECURITY_ATTRIBUTES sa = { sizeof(sa), NULL, TRUE };
        if (!CreatePipe(&readEnd, &writeEnd, &sa, 0))
            return false;
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = writeEnd;
        si.hStdError = writeEnd;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    BOOL ok = CreateWithRetry(cmd, output != nullptr, &si, &pi);
    if (writeEnd)
        CloseHandle(writeEnd);
    if (!ok) {
        if (readEnd)
            CloseHandle(readEnd);
        return false;
    }
    bool ended;
    if (output) {
        /* Read until the child closes its end, within the time allowed. */
        DWORD start = GetTickCount();
        char buf[4096];
        for (;;) {
            DWORD avail = 0;
            if (!PeekNamedPipe(readEnd, NULL, 0, NULL, &avail, NULL))
                break;   /* closed */
            if (avail) {
                DWORD got = 0;
                if (!ReadFile(readEnd, buf, sizeof(buf), &got, NULL) || got == 0)
                    break;
                output->append(buf, got);
                continue;
            }
            if (GetTickCount() - start > timeoutMs)
                break;
            if (WaitForSingleObject(pi.hProcess, 10) == WAIT_OBJECT_0) {
                /* drain what is left */
                while (PeekNamedPipe(readEnd, NULL, 0, NULL, &avail, NULL) && avail) {
                    DWORD got = 0;
                    if (!ReadFile(readEnd, buf, sizeof(buf), &got, NULL) || got == 0)
                        break;
                    output->append(buf, got);
                }
                break;
            }
        }
        DWORD spent = GetTickCount() - start;
        ended = WaitForSingleObject(pi.hProcess, spent >= timeoutMs ? 0 : timeoutMs - spent) == WAIT_OBJECT_0;
        CloseHandle(readEnd);
    } else {
        ended = WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0;
    }
    if (!ended) {
        TerminateProcess(pi.hProcess, 0xDEAD);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    if (exitCode)
        GetExitCodeProcess(pi.hProcess, exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return ended;
}

std::wstring JoinLines(const std::vector<std::wstring> &lines)
{
    std::wstring all;
    for (const std::wstring &line : lines) {
        all += line;
        if (line.empty() || line.back() != L'\n')
            all += L"\n";
    }
    return all;
}

std::string Narrow(const std::wstring &text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], n, NULL, NULL);
    return out;
}
