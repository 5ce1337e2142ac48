/*
 * Test support: stack walks with the debug-help library. What a support
 * engineer's debugger does with a hang dump, done on a live thread.
 */
#include "stack_walk.h"

#include <dbghelp.h>
#include <tlhelp32.h>
#include <wchar.h>

#include "child_process.h"

bool StartSymbols(HANDLE process, const std::wstring &searchPath, std::wstring *error)
{
    SymSetOptions(SYMOPT_LOAD_LINES | SYMOPT_UNDNAME | SYMOPT_FAIL_CRITICAL_ERRORS);
    SetLastError(0xdeadbeef);
    if (!SymInitializeW(process, searchPath.c_str(), TRUE)) {
        *error = L"SymInitializeW failed, error " + std::to_wstring(GetLastError());
        return false;
    }
    return true;
}

void StopSymbols(HANDLE process)
{
    SymCleanup(process);
}

std::wstring SymbolKindOf(HANDLE process, DWORD64 base, std::wstring *symbolFile)
{
    IMAGEHLP_MODULEW64 info;
    ZeroMemory(&info, sizeof(info));
    info.SizeOfStruct = sizeof(info);
    if (!SymGetModuleInfoW64(process, base, &info))
        return L"unknown (error " + std::to_wstring(GetLastError()) + L")";
    if (symbolFile)
        *symbolFile = info.LoadedPdbName[0] ? info.LoadedPdbName : info.LoadedImageName;
    switch (info.SymType) {
    case SymPdb:     return L"pdb";
    case SymExport:  return L"export";
    case SymNone:    return L"none";
    case SymDeferred: return L"deferred";
    case SymDia:     return L"dia";
    default:         return L"type " + std::to_wstring(info.SymType);
    }
}

static void NameFrame(HANDLE process, StackFrame *frame)
{
    IMAGEHLP_MODULEW64 module;
    ZeroMemory(&module, sizeof(module));
    module.SizeOfStruct = sizeof(module);
    if (SymGetModuleInfoW64(process, frame->pc, &module))
        frame->module = module.ModuleName;

    union {
        SYMBOL_INFOW info;
        char room[sizeof(SYMBOL_INFOW) + 256 * sizeof(wchar_t)];
    } symbol;
    ZeroMemory(&symbol, sizeof(symbol));
    symbol.info.SizeOfStruct = sizeof(SYMBOL_INFOW);
    symbol.info.MaxNameLen = 255;
    DWORD64 displacement = 0;
    if (SymFromAddrW(process, frame->pc, &displacement, &symbol.info))
        frame->function = symbol.info.Name;

    IMAGEHLP_LINEW64 line;
    ZeroMemory(&line, sizeof(line));
    line.SizeOfStruct = sizeof(line);
    DWORD lineDisplacement = 0;
    if (SymGetLineFromAddrW64(process, frame->pc, &lineDisplacement, &line) && line.FileName) {
        frame->file = line.FileName;
        frame->line = line.LineNumber;
    }
}

std::vector<StackFrame> WalkStack(HANDLE process, HANDLE thread, const CONTEXT &context, size_t maxFrames)
{
    std::vector<StackFrame> frames;
    CONTEXT walked = context;
    STACKFRAME64 frame;
    ZeroMemory(&frame, sizeof(frame));
    frame.AddrPC.Offset = walked.Rip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = walked.Rsp;
    frame.AddrFrame.Mode = AddrModeFlat;
    frame.AddrStack.Offset = walked.Rsp;
    frame.AddrStack.Mode = AddrModeFlat;

    while (frames.size() < maxFrames) {
        if (!StackWalk64(IMAGE_FILE_MACHINE_AMD64, process, thread, &frame, &walked, NULL,
                         SymFunctionTableAccess64, SymGetModuleBase64, NULL))
            break;
        if (frame.AddrPC.Offset == 0)
            break;
        StackFrame named;
        /* A return address points after the call; name the call itself. */
        named.pc = frames.empty() ? frame.AddrPC.Offset : frame.AddrPC.Offset - 1;
        NameFrame(process, &named);
        frames.push_back(named);
    }
    return frames;
}

std::vector<StackFrame> WalkOtherThread(HANDLE process, DWORD threadId, std::wstring *error)
{
    std::vector<StackFrame> frames;
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION,
                               FALSE, threadId);
    if (!thread) {
        *error = L"OpenThread(" + std::to_wstring(threadId) + L") failed, error " + std::to_wstring(GetLastError());
        return frames;
    }
    if (SuspendThread(thread) == (DWORD)-1) {
        *error = L"SuspendThread failed, error " + std::to_wstring(GetLastError());
        CloseHandle(thread);
        return frames;
    }
    CONTEXT context;
    ZeroMemory(&context, sizeof(context));
    context.ContextFlags = CONTEXT_FULL;
    if (GetThreadContext(thread, &context))
        frames = WalkStack(process, thread, context);
    else
        *error = L"GetThreadContext failed, error " + std::to_wstring(GetLastError());
    ResumeThread(thread);
    CloseHandle(thread);
    return frames;
}

std::vector<DWORD> ThreadsOf(DWORD processId)
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == processId)
            ids.push_back(entry.th32ThreadID);
    CloseHandle(snapshot);
    return ids;
}

static bool EndsWith(const std::wstring &text, const std::wstring &suffix)
{
    return text.size() >= suffix.size() &&
           _wcsicmp(text.c_str() + text.size() - suffix.size(), suffix.c_str()) == 0;
}

static bool Matches(const StackFrame &frame, const ExpectedFrame &want)
{
    if (!want.module.empty() && _wcsicmp(frame.module.c_str(), want.module.c_str()) != 0)
        return false;
    if (!want.function.empty() && frame.function != want.function)
        return false;
    if (!want.fileSuffix.empty()) {
        /* The suffix must begin a file name: "main.cpp" is not "domain.cpp". */
        std::wstring slashed = frame.file;
        for (wchar_t &c : slashed)
            if (c == L'/')
                c = L'\\';
        if (!EndsWith(L"\\" + slashed, L"\\" + want.fileSuffix) || frame.line == 0)
            return false;
    }
    return true;
}

bool FramesInOrder(const std::vector<StackFrame> &frames, const std::vector<ExpectedFrame> &wanted,
                   std::wstring *missing)
{
    size_t at = 0;
    for (const ExpectedFrame &want : wanted) {
        while (at < frames.size() && !Matches(frames[at], want))
            at++;
        if (at == frames.size()) {
            *missing = (want.module.empty() ? L"" : want.module + L"!") +
                       (want.function.empty() ? L"(any)" : want.function) +
                       (want.fileSuffix.empty() ? L"" : L" at " + want.fileSuffix);
            return false;
        }
        at++;
    }
    return true;
}

bool EndsInModule(const std::vector<StackFrame> &frames, const std::wstring &module)
{
    return !frames.empty() && _wcsicmp(frames.back().module.c_str(), module.c_str()) == 0;
}

std::string ShowFrames(const std::vector<StackFrame> &frames)
{
    std::string out;
    char pc[32];
    for (size_t i = 0; i < frames.size(); i++) {
        const StackFrame &f = frames[i];
        snprintf(pc, sizeof(pc), "%016llx", (unsigned long long)f.pc);
        out += "  #" + std::to_string(i) + " " + pc + " " + Narrow(f.module.empty() ? L"?" : f.module) + "!" +
               Narrow(f.function.empty() ? L"?" : f.function);
        if (!f.file.empty())
            out += " (" + Narrow(f.file) + ":" + std::to_string(f.line) + ")";
        out += "\n";
    }
    if (frames.empty())
        out = "  (no frames)\n";
    return out;
}
