/*
 * The real guard program from the outside: what it traces at start-up, its
 * hidden window, the single-instance event, and the end at WM_CLOSE.
 */
#include <gtest/gtest.h>
#include <windows.h>

#include "guard_harness.h"
#include "port_client.h"

namespace {

const wchar_t kBanner[] = L"--------------------------------------- WinMain ---------------------------\n";

std::wstring EventName(const std::wstring &prefix, const std::wstring &tag)
{
    return prefix + tag + L".OnlyOneInstance";
}

/* Every window of pid, of any class. */
std::vector<HWND> WindowsOf(DWORD pid)
{
    struct Ctx { DWORD pid; std::vector<HWND> found; } ctx = { pid, {} };
    EnumWindows([](HWND w, LPARAM p) -> BOOL {
        Ctx *c = (Ctx *)p;
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == c->pid)
            c->found.push_back(w);
        return TRUE;
    }, (LPARAM)&ctx);
    return ctx.found;
}

class GuardStartup : public ::testing::TestWithParam<const wchar_t *> {
protected:
    void TearDown() override
    {
        DisposeGuard(&second_);
        DisposeGuard(&first_);
        if (blocker_)
            CloseHandle(blocker_);
    }
    void Start(GuardProcess *g, const GuardOptions &options = GuardOptions())
    {
        std::wstring error;
        bool skip = false;
        bool ok = StartGuard(g, GetParam(), options, &error, &skip);
        if (skip)
            GTEST_SKIP() << Narrow(error);
        ASSERT_TRUE(ok) << Narrow(error);
    }
    std::wstring Tag() const { return GetParam(); }

    GuardProcess first_, second_;
    HANDLE blocker_ = NULL;
};

TEST_P(GuardStartup, TracesStartupInOrderAndRunsAHiddenWindowUntilClosed)
{
    GuardOptions options;
    options.showState = SW_SHOWNORMAL;   /* ignored: the window stays hidden */
    ASSERT_NO_FATAL_FAILURE(Start(&first_, options));

    std::vector<std::wstring> expected = {
        kBanner,
        L"WinMain() : SecurityDescriptor : SUCCESS\n",
        L"WinMain() : CreateEvent(" + EventName(L"Global\\", Tag()) + L") SUCCESS\n",
    };
    ASSERT_TRUE(WaitForChildLineCount(first_.child, expected.size(), 5000));
    EXPECT_EQ(expected, GuardLines(&first_)) << Narrow(JoinLines(ChildLines(first_.child)));

    wchar_t text[64] = L"";
    ASSERT_TRUE(GetClassNameW(first_.window, text, 64));
    EXPECT_EQ(Tag(), text);
    GetWindowTextW(first_.window, text, 64);
    EXPECT_EQ(Tag(), text);
    EXPECT_EQ(NULL, GetParent(first_.window)) << "must be a top-level window";
    EXPECT_FALSE(IsWindowVisible(first_.window));
    EXPECT_EQ(0, GetWindowLongW(first_.window, GWL_STYLE) & WS_VISIBLE);

    /* The single-instance event exists under its global name while it runs. */
    HANDLE ev = OpenEventW(SYNCHRONIZE, FALSE, EventName(L"Global\\", Tag()).c_str());
    EXPECT_NE(nullptr, ev) << "error " << GetLastError();
    if (ev)
        CloseHandle(ev);

    /* Messages it does not know go to the default procedure: no trace. */
    bool delivered = false;
    SendToGuard(&first_, WM_USER + 7, 1, 2, 5000, &delivered);
    EXPECT_TRUE(delivered);

    Sleep(300);   /* give a hidden window a chance to be shown by mistake */
    EXPECT_FALSE(IsWindowVisible(first_.window));

    DWORD exitCode = 0xdeadbeef;
    ASSERT_TRUE(CloseGuard(&first_, 10000, &exitCode));
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ(expected.size(), ChildLines(first_.child).size()) << "WM_CLOSE traces nothing";
    EXPECT_TRUE(ChildExceptions(first_.child).empty());
}

TEST_P(GuardStartup, SecondInstanceLeavesWithoutAWindowAndTheFirstStillAnswers)
{
    ASSERT_NO_FATAL_FAILURE(Start(&first_));

    /* Held at its exit, the second instance still has any window it made. */
    GuardOptions options;
    options.holdAtExit = true;
    options.waitForWindow = false;
    ASSERT_NO_FATAL_FAILURE(Start(&second_, options));
    ASSERT_TRUE(WaitChildAtExit(second_.child, 15000)) << Narrow(JoinLines(ChildLines(second_.child)));
    EXPECT_TRUE(WindowsOf(ChildProcessId(second_.child)).empty());
    std::vector<std::wstring> expected = {
        kBanner,
        L"WinMain() : SecurityDescriptor : SUCCESS\n",
        L"WinMain() : CreateEvent(" + EventName(L"Global\\", Tag()) + L") : Event already exists. Close Windows\n",
    };
    EXPECT_EQ(expected, GuardLines(&second_));
    DWORD exitCode = 0xdeadbeef;
    ASSERT_TRUE(WaitChildExit(second_.child, 10000, &exitCode));
    EXPECT_EQ(0u, exitCode);

    /* The first is undisturbed: it answers a message and traces it. */
    size_t before = ChildLineCount(first_.child);
    bool delivered = false;
    EXPECT_EQ(0, SendToGuard(&first_, WM_POWUNREGISTER, 0x77, 0, 5000, &delivered));
    EXPECT_TRUE(delivered);
    EXPECT_GE(WaitForChildLine(first_.child, L"OnPowUnregister ....Exiting() :.......\n", 5000, before), 0);
    ASSERT_TRUE(CloseGuard(&first_, 10000, &exitCode));
    EXPECT_EQ(0u, exitCode);
}

TEST_P(GuardStartup, WithoutTheEventItStillMakesItsWindowAndServes)
{
    /* Another type of object holds the event's name. */
    blocker_ = CreateMutexW(NULL, FALSE, EventName(L"Global\\", Tag()).c_str());
    ASSERT_NE(nullptr, blocker_) << GetLastError();
    ASSERT_NO_FATAL_FAILURE(Start(&first_));

    ASSERT_TRUE(WaitForChildLineCount(first_.child, 3, 5000));
    std::vector<std::wstring> lines = GuardLines(&first_);
    EXPECT_EQ(L"WinMain() : CreateEvent(" + EventName(L"Global\\", Tag()) + L") failed. GetLastError() = " +
                  std::to_wstring(ERROR_INVALID_HANDLE) + L"\n",
              lines[2]);

    size_t before = ChildLineCount(first_.child);
    bool delivered = false;
    SendToGuard(&first_, WM_POWUNREGISTER, 5, 0, 5000, &delivered);
    EXPECT_TRUE(delivered);
    EXPECT_GE(WaitForChildLine(first_.child, L"OnPowUnregister ....Entering() :.......\n", 5000, before), 0);

    DWORD exitCode = 0xdeadbeef;
    ASSERT_TRUE(CloseGuard(&first_, 10000, &exitCode));
    EXPECT_EQ(0u, exitCode);
}

TEST_P(GuardStartup, CloseReleasesTheEventBeforeTheProcessEnds)
{
    GuardOptions options;
    options.holdAtExit = true;
    ASSERT_NO_FATAL_FAILURE(Start(&first_, options));
    bool delivered = false;
    SendToGuard(&first_, WM_CLOSE, 0, 0, 10000, &delivered);
    ASSERT_TRUE(delivered);
    ASSERT_TRUE(WaitChildAtExit(first_.child, 10000));

    /* Still in the process, but the event is gone: the guard closed it. */
    SetLastError(0xdeadbeef);
    HANDLE ev = OpenEventW(SYNCHRONIZE, FALSE, EventName(L"Global\\", Tag()).c_str());
    EXPECT_EQ(nullptr, ev);
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    if (ev)
        CloseHandle(ev);
    DWORD exitCode = 0xdeadbeef;
    ASSERT_TRUE(WaitChildExit(first_.child, 10000, &exitCode));
    EXPECT_EQ(0u, exitCode);
}

TEST_P(GuardStartup, Version4NamesTheEventWithoutTheGlobalPrefix)
{
    GuardOptions options;
    options.reportedVersion = L"nt40";
    ASSERT_NO_FATAL_FAILURE(Start(&first_, options));
    ASSERT_TRUE(WaitForChildLineCount(first_.child, 3, 5000));
    std::vector<std::wstring> lines = GuardLines(&first_);
    EXPECT_EQ(L"WinMain() : CreateEvent(" + EventName(L"", Tag()) + L") SUCCESS\n", lines[2]);

    HANDLE local = OpenEventW(SYNCHRONIZE, FALSE, EventName(L"", Tag()).c_str());
    EXPECT_NE(nullptr, local) << GetLastError();
    if (local)
        CloseHandle(local);
    SetLastError(0xdeadbeef);
    HANDLE global = OpenEventW(SYNCHRONIZE, FALSE, EventName(L"Global\\", Tag()).c_str());
    EXPECT_EQ(nullptr, global);
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    if (global)
        CloseHandle(global);

    DWORD exitCode = 0xdeadbeef;
    ASSERT_TRUE(CloseGuard(&first_, 10000, &exitCode));
    EXPECT_EQ(0u, exitCode);
}

INSTANTIATE_TEST_SUITE_P(Tags, GuardStartup,
                         ::testing::Values(L"TAVRIKEN", L"SOLMEDAR", L"BRAXUNET"),
                         [](const ::testing::TestParamInfo<const wchar_t *> &info) {
                             return Narrow(info.param);
                         });

}  // namespace
