/*
 * The shipped co-installer as a support engineer's debugger sees it: with the
 * PDB from dist/ and the debug-help library, a stack taken at one of its
 * trace lines walks through the trace routine and CoInstallerE, names them
 * with file and line, and goes on into the calling program down to the
 * thread's start.
 */
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>
#include <string.h>
#include <wchar.h>

#include "child_process.h"
#include "device_setup.h"
#include "stack_walk.h"
#include "test_paths.h"

namespace {

std::wstring ModuleNameOf(HMODULE module)
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring name(path, n);
    name = name.substr(name.find_last_of(L"\\/") + 1);
    return name.substr(0, name.find_last_of(L'.'));
}

/* ---- the co-installer, at one of its trace lines ---- */

const DWORD kDebugPrintWide = 0x4001000A;   /* what Windows 10 and later raise first */

struct TraceWalk {
    bool taken;
    std::vector<StackFrame> frames;
};
TraceWalk g_traceWalk;

struct WalkRequest {
    HANDLE thread;
    const CONTEXT *context;
};

DWORD WINAPI WalkRequestedStack(void *param)
{
    WalkRequest *request = (WalkRequest *)param;
    g_traceWalk.frames = WalkStack(GetCurrentProcess(), request->thread, *request->context);
    return 0;
}

/* Walks this thread from the context of the first trace line the co-installer
   sends, the way a debugger stops on it. The walk runs on a thread of its own
   while this one waits in the handler, so the frames stay as they are. */
LONG CALLBACK WalkAtFirstCoinstallerTrace(EXCEPTION_POINTERS *pointers)
{
    const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
    if (g_traceWalk.taken || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    bool ours = false;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C)
        ours = strncmp((const char *)record->ExceptionInformation[1], "HELDRAVO : ", 11) == 0;
    else if (record->ExceptionCode == kDebugPrintWide)
        ours = wcsncmp((const wchar_t *)record->ExceptionInformation[1], L"HELDRAVO : ", 11) == 0;
    if (!ours)
        return EXCEPTION_CONTINUE_SEARCH;
    g_traceWalk.taken = true;
    WalkRequest request = { NULL, pointers->ContextRecord };
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &request.thread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
        HANDLE walker = CreateThread(NULL, 0, WalkRequestedStack, &request, 0, NULL);
        if (walker) {
            WaitForSingleObject(walker, 30000);
            CloseHandle(walker);
        }
        CloseHandle(request.thread);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST(CoinstallerStack, TraceLineWalksThroughTheTraceAndCoInstallerEIntoTheCallerAndTheThreadStart)
{
    HMODULE dll;
    wchar_t loadError[DEVICE_TEXT_UNITS];
    CoInstallerProc coInstaller = LoadCoInstaller(DistPath(L"HELDRAVO.dll").c_str(), L"CoInstallerE", &dll, loadError);
    ASSERT_NE((CoInstallerProc)NULL, coInstaller) << Narrow(loadError);
    HANDLE self = GetCurrentProcess();
    std::wstring error, pdb;
    ASSERT_TRUE(StartSymbols(self, BuildDir() + L"\\dist", &error)) << Narrow(error);
    std::wstring kind = SymbolKindOf(self, (DWORD64)dll, &pdb);

    g_traceWalk = TraceWalk();
    PVOID handler = AddVectoredExceptionHandler(1, WalkAtFirstCoinstallerTrace);
    ASSERT_NE((PVOID)NULL, handler);
    DWORD answer = coInstaller(DIF_SELECTDEVICE, NULL, NULL, NULL);
    RemoveVectoredExceptionHandler(handler);
    std::vector<StackFrame> frames = g_traceWalk.frames;
    StopSymbols(self);
    FreeLibrary(dll);

    EXPECT_EQ((DWORD)NO_ERROR, answer);
    EXPECT_EQ(L"pdb", kind) << Narrow(pdb);
    ASSERT_TRUE(g_traceWalk.taken) << "no trace line of HELDRAVO was raised";
    std::wstring missing;
    EXPECT_TRUE(FramesInOrder(frames,
                              { { L"HELDRAVO", L"DebugTrace", L"entry.cpp" },
                                { L"HELDRAVO", L"CoInstallerE", L"entry.cpp" },
                                { ModuleNameOf(NULL), L"", L"" },
                                { L"kernel32", L"BaseThreadInitThunk", L"" },
                                { L"ntdll", L"", L"" } },
                              &missing))
        << "missing " << Narrow(missing) << " in:\n" << ShowFrames(frames);
    /* The thread's first frame is ntdll's (RtlUserThreadStart on Windows and
       Wine 8; Wine 10's has no name). */
    EXPECT_TRUE(EndsInModule(frames, L"ntdll")) << "the walk does not end in ntdll:\n" << ShowFrames(frames);
}

}  // namespace
