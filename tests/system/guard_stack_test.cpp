/*
 * The shipped guard as a support engineer's debugger sees it in a hang dump:
 * with the PDB from dist/ and the debug-help library, the stack of the guard
 * blocked in its suspend wait walks through our frames, names them with file
 * and line, and goes on through the message dispatch to the thread's start.
 * Without unwind data the walk stops at the first frame of ours; without a
 * PDB nothing of ours is named.
 */
#include "guard_power_fixture.h"
#include "stack_walk.h"

#include <dbghelp.h>

namespace power {
namespace {

std::wstring DistDir()
{
    return BuildDir() + L"\\dist";
}

/* The index of the first frame named function, or frames.size(). */
size_t FrameNamed(const std::vector<StackFrame> &frames, const std::wstring &function)
{
    size_t i = 0;
    while (i < frames.size() && frames[i].function != function)
        i++;
    return i;
}

/* ---- the power guard, blocked in its suspend wait ---- */

class GuardStack : public GuardPowerTest {};

TEST_F(GuardStack, SuspendWaitWalksThroughTheHandlerAndTheDispatchToWinMainAndTheThreadStart)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(0, Client(L"register 1"));
    std::wstring event;
    HANDLE release = ReleaseEvent(&event);
    ConsoleChild *holder = StartClient(L"--release-event " + event + L" hold 1 50000", "held 1\n");
    ASSERT_NE(nullptr, holder);

    HANDLE process = ChildProcessHandle(guard_.child);
    std::wstring error;
    ASSERT_TRUE(StartSymbols(process, DistDir(), &error)) << Narrow(error);

    /* Posted, so that the guard takes it through its message loop's dispatch
       as it does every queued message. */
    size_t mark = Mark();
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(PostMessageW(guard_.window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0)) << "error " << GetLastError();

    /* The dump of the one port is the last line before the 1.9 s wait; the
       walk is taken well inside it, while the port client holds the port. */
    int dumped = WaitForChildLine(guard_.child, L"] hPort = 0000000000000001", 10000, mark);
    std::vector<StackFrame> frames;
    DWORD walkedThread = 0;
    if (dumped >= 0) {
        Sleep(300);
        for (DWORD id : ThreadsOf(ChildProcessId(guard_.child))) {
            std::vector<StackFrame> walk = WalkOtherThread(process, id, &error);
            if (FrameNamed(walk, L"OnPowerBroadcast") < walk.size() || walk.size() > frames.size()) {
                frames = walk;
                walkedThread = id;
            }
            if (FrameNamed(walk, L"OnPowerBroadcast") < walk.size())
                break;
        }
    }
    /* How the guard's module got its symbols, read while they are loaded. */
    const std::wstring guardModule = L"TAVRIKEN";
    std::wstring kind = L"(no frame of the guard)", pdb;
    for (const StackFrame &f : frames)
        if (_wcsicmp(f.module.c_str(), guardModule.c_str()) == 0) {
            kind = SymbolKindOf(process, SymGetModuleBase64(process, f.pc), &pdb);
            break;
        }

    int waited = WaitForChildLine(guard_.child, L"WaitForMultipleObjects() returns WAIT_TIMEOUT", 20000, mark);
    SetEvent(release);
    ASSERT_TRUE(WaitConsoleExit(holder, 20000, nullptr));
    StopSymbols(process);

    ASSERT_GE(dumped, 0) << "the guard did not reach the wait:\n" << Show(LinesSince(mark));
    EXPECT_GE(waited, 0) << "the wait did not time out:\n" << Show(LinesSince(mark));
    EXPECT_EQ(L"pdb", kind) << Narrow(pdb) << " thread " << walkedThread << ":\n" << ShowFrames(frames);

    size_t handler = FrameNamed(frames, L"OnPowerBroadcast");
    ASSERT_LT(handler, frames.size()) << ShowFrames(frames);
    bool waiting = false;
    for (size_t i = 0; i < handler; i++)
        waiting = waiting || frames[i].function.find(L"WaitForMultipleObjects") != std::wstring::npos;
    EXPECT_TRUE(waiting) << "the walk does not start in the wait:\n" << ShowFrames(frames);

    std::wstring missing;
    EXPECT_TRUE(FramesInOrder(frames,
                              { { guardModule, L"OnPowerBroadcast", L"power_events.cpp" },
                                { L"user32", L"DispatchMessageW", L"" },
                                { guardModule, L"WinMain", L"main.cpp" },
                                { L"kernel32", L"BaseThreadInitThunk", L"" },
                                { L"ntdll", L"", L"" } },
                              &missing))
        << "missing " << Narrow(missing) << " in:\n" << ShowFrames(frames);
    /* The thread's first frame is ntdll's (RtlUserThreadStart on Windows and
       Wine 8; Wine 10's has no name). */
    EXPECT_TRUE(EndsInModule(frames, L"ntdll")) << "the walk does not end in ntdll:\n" << ShowFrames(frames);
}

}  // namespace
}  // namespace power
