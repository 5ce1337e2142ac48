/*
 * The real guard driven by port-client processes: registration and the
 * mutexes it makes, the power broadcasts of both system generations, what is
 * held afterwards as another process or thread sees it, and the end at
 * WM_CLOSE with the guard stopped at its exit.
 */
#include "guard_power_fixture.h"

namespace power {
namespace {

const LRESULT kDeny = 0x424D5144;
const std::wstring kAcquired = L"OnPowerBroadcast() : All Mutex TAVRIKEN.HardwareAccess acquired\n";
const std::wstring kReleased = L"OnPowerBroadcast() : Release Mutex SUCCEEDED\n";
const std::wstring kNotOwned = L"OnPowerBroadcast() : Release Mutex failed. GetLastError() = 288\n";
const std::wstring kTimeout = L"OnPowerBroadcast() : WaitForMultipleObjects() returns WAIT_TIMEOUT\n";

const std::vector<ULONG_PTR> kThree = { 3, 2, 1 };   /* table order after registering 1 2 3 */

/* The opening of a broadcast: its name and the dump. */
void ExpectOpening(const std::vector<std::wstring> &lines, const std::wstring &event,
                   const std::vector<ULONG_PTR> &ports)
{
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(L"OnPowerBroadcast(" + event + L")\n", lines[0]);
    ExpectDump(lines, 1, L"OnPowerBroadcast()", ports);
}

/* The lines after the opening. */
std::vector<std::wstring> After(const std::vector<std::wstring> &lines, const std::vector<ULONG_PTR> &ports)
{
    size_t skip = 2 + ports.size();
    return std::vector<std::wstring>(lines.begin() + (skip < lines.size() ? skip : lines.size()), lines.end());
}

/* ---- registration ---- */

class GuardRegistration : public GuardPowerTest, public ::testing::WithParamInterface<const wchar_t *> {};

TEST_P(GuardRegistration, PortsOneTwoThreeGetTheirNamedMutexes)
{
    ASSERT_NO_FATAL_FAILURE(Start(GuardOptions(), GetParam()));
    size_t mark = Mark();
    std::string output;
    ASSERT_EQ(0, Client(L"register 1 2 3", &output)) << output;
    EXPECT_EQ("registered 1\nregistered 2\nregistered 3\n", output);

    std::vector<std::wstring> lines = LinesSince(mark);
    size_t at = 0;
    std::vector<ULONG_PTR> table;
    for (ULONG_PTR port : { 1, 2, 3 }) {
        table.insert(table.begin(), port);
        std::wstring name = L"Global\\" + guard_.tag + L".HardwareAccess.000000000000000" + std::to_wstring(port);
        ASSERT_LE(at + 3, lines.size()) << Show(lines);
        EXPECT_EQ(L"OnPowRegister() :.......\n", lines[at]);
        EXPECT_EQ(L"OnPowRegister() : SecurityDescriptor : SUCCESS\n", lines[at + 1]);
        EXPECT_EQ(L"OnPowRegister() : CreateMutex(" + name + L") SUCCESS\n", lines[at + 2]);
        ExpectDump(lines, at + 3, L"OnPowRegister()", table);
        at += 4 + table.size();
        EXPECT_TRUE(NamedMutexExists(name)) << Narrow(name);
        EXPECT_TRUE(IsFree(port)) << "created not owned";
    }
    EXPECT_EQ(at, lines.size()) << Show(lines);
}

INSTANTIATE_TEST_SUITE_P(Tags, GuardRegistration, ::testing::Values(L"TAVRIKEN", L"SOLMEDAR", L"BRAXUNET"),
                         [](const ::testing::TestParamInfo<const wchar_t *> &info) { return Narrow(info.param); });

class GuardPower : public GuardPowerTest {};

TEST_F(GuardPower, RegisteringAgainReplacesTheEntryAndItsHandle)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(0, Client(L"register 5"));
    HANDLE mine = Open(5);
    ASSERT_NE((HANDLE)NULL, mine);
    ASSERT_EQ(2, ObjectHandleCount(mine)) << "the test's handle and the guard's";

    size_t mark = Mark();
    ASSERT_EQ(0, Client(L"register 5"));
    std::vector<std::wstring> lines = LinesSince(mark);
    ASSERT_EQ(6u, lines.size()) << Show(lines);
    EXPECT_EQ(L"OnPowRegister() :.......\n", lines[0]);
    EXPECT_EQ(L"OnPowRegister() : The port is already registred\n", lines[1]);
    EXPECT_EQ(L"OnPowRegister() : SecurityDescriptor : SUCCESS\n", lines[2]);
    EXPECT_EQ(L"OnPowRegister() : CreateMutex(" + Name(5) + L") SUCCESS\n", lines[3]);
    ExpectDump(lines, 4, L"OnPowRegister()", { 5 });
    EXPECT_EQ(2, ObjectHandleCount(mine)) << "the guard must keep one handle, not two";
}

TEST_F(GuardPower, UnregisteringAnUnknownPortChangesNothing)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(0, Client(L"register 1"));
    size_t mark = Mark();
    EXPECT_EQ(0, Send(WM_POWUNREGISTER, 9));
    std::vector<std::wstring> lines = LinesSince(mark);
    ASSERT_EQ(4u, lines.size()) << Show(lines);
    EXPECT_EQ(L"OnPowUnregister ....Entering() :.......\n", lines[0]);
    ExpectDump(lines, 1, L"OnPowUnregister()", { 1 });
    EXPECT_EQ(L"OnPowUnregister ....Exiting() :.......\n", lines[3]);

    /* Port 1 is still known: its mutex exists and a suspend takes it. */
    EXPECT_TRUE(NamedMutexExists(Name(1)));
    std::vector<std::wstring> suspend;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &suspend));
    ExpectOpening(suspend, L"PBT_APMSUSPEND", { 1 });
    EXPECT_TRUE(IsHeld(1));
}

TEST_F(GuardPower, MutexHasANullDacl)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(0, Client(L"register 1"));
    HANDLE mine = Open(1);
    ASSERT_NE((HANDLE)NULL, mine);
    std::string why;
    EXPECT_TRUE(HasNullDacl(mine, &why)) << why;
}

TEST_F(GuardPower, Version4NamesTheMutexWithoutThePrefix)
{
    GuardOptions options;
    options.reportedVersion = L"nt40";
    ASSERT_NO_FATAL_FAILURE(Start(options));
    size_t mark = Mark();
    ASSERT_EQ(0, Client(L"register 1"));
    std::vector<std::wstring> lines = LinesSince(mark);
    ASSERT_LE(3u, lines.size()) << Show(lines);
    EXPECT_EQ(L"OnPowRegister() : CreateMutex(TAVRIKEN.HardwareAccess.0000000000000001) SUCCESS\n", lines[2]);
    EXPECT_TRUE(NamedMutexExists(L"TAVRIKEN.HardwareAccess.0000000000000001"));
    EXPECT_FALSE(NamedMutexExists(Name(1)));
    std::string output;
    EXPECT_EQ(0, Client(L"--prefix none try 1", &output)) << output;
    EXPECT_EQ("held 1\nreleased 1\n", output);
}

/* ---- NT6 generation ---- */

TEST_F(GuardPower, Nt6SuspendHoldsAllIdlePortsAndResumeReleasesThem)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(0, Client(L"register 1 2 3"));

    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &lines));
    ExpectOpening(lines, L"PBT_APMSUSPEND", kThree);
    EXPECT_EQ(std::vector<std::wstring>{ kAcquired }, After(lines, kThree)) << Show(lines);

    std::string output;
    EXPECT_EQ(3, Client(L"--wait-ms 300 try 2", &output)) << "a client's access must wait while the guard holds";
    EXPECT_EQ("timeout 2\n", output);
    for (ULONG_PTR port : { 1, 2, 3 })
        EXPECT_TRUE(IsHeld(port)) << port;

    EXPECT_EQ(TRUE, Broadcast(PBT_APMRESUMEAUTOMATIC, &lines));
    ExpectOpening(lines, L"PBT_APMRESUMEAUTOMATIC", kThree);
    EXPECT_EQ(std::vector<std::wstring>(3, kReleased), After(lines, kThree)) << Show(lines);
    for (ULONG_PTR port : { 1, 2, 3 })
        EXPECT_TRUE(IsFree(port)) << port;
    EXPECT_EQ(0, Client(L"--wait-ms 5000 try 2", &output)) << output;
    EXPECT_EQ("held 2\nreleased 2\n", output);

    EXPECT_EQ(TRUE, Broadcast(PBT_APMRESUMESUSPEND, &lines));
    ExpectOpening(lines, L"PBT_APMRESUMESUSPEND", kThree);
    EXPECT_EQ(std::vector<std::wstring>(3, kNotOwned), After(lines, kThree)) << Show(lines);
}

/* A window that gets both the broadcast and the notification it registered
   for sees every event twice: two ownerships, each released once. */
TEST_F(GuardPower, EveryEventOfASuspendAndResumeDeliveredTwiceLeavesEveryPortFree)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(0, Client(L"register 1 2 3"));

    std::vector<std::wstring> lines;
    for (int copy = 0; copy < 2; copy++) {
        EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &lines));
        EXPECT_EQ(std::vector<std::wstring>{ kAcquired }, After(lines, kThree)) << Show(lines);
    }
    for (WPARAM event : { PBT_APMRESUMEAUTOMATIC, PBT_APMRESUMEAUTOMATIC, PBT_APMRESUMESUSPEND, PBT_APMRESUMESUSPEND })
        EXPECT_EQ(TRUE, Broadcast(event));
    std::string output;
    for (ULONG_PTR port : { 1, 2, 3 }) {
        EXPECT_EQ(0, Client(L"--wait-ms 2000 try " + std::to_wstring(port), &output)) << output;
        EXPECT_EQ("held " + std::to_string(port) + "\nreleased " + std::to_string(port) + "\n", output);
    }
}

TEST_F(GuardPower, Nt6PortHeldPastTheWaitGivesTheTimeoutAndHoldsNone)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(0, Client(L"register 1 2 3"));
    std::wstring event;
    HANDLE release = ReleaseEvent(&event);
    ConsoleChild *holder = StartClient(L"--release-event " + event + L" hold 2 50000", "held 2\n");
    ASSERT_NE(nullptr, holder);

    std::vector<std::wstring> lines;
    double elapsedMs = 0;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &lines, &elapsedMs)) << "NT6 grants the suspend in every case";
    ExpectOpening(lines, L"PBT_APMSUSPEND", kThree);
    EXPECT_EQ(std::vector<std::wstring>{ kTimeout }, After(lines, kThree)) << Show(lines);
    EXPECT_GE(elapsedMs, kSuspendWaitMs - kWaitTickSlackMs) << "answered before the " << kSuspendWaitMs << " ms wait";
    EXPECT_TRUE(IsFree(1)) << "all or none";
    EXPECT_TRUE(IsFree(3)) << "all or none";

    SetEvent(release);
    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(WaitConsoleExit(holder, 20000, &code));
    EXPECT_EQ(0u, code);
    EXPECT_EQ("held 2\nreleased 2\n", ConsoleOutput(holder));
    EXPECT_TRUE(IsFree(2));
}

TEST_F(GuardPower, AbandonedMutexIsTracedWithTheWaitValueAndAllAreHeld)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(0, Client(L"register 1 2 3"));
    std::string output;
    ASSERT_EQ(0, Client(L"exit-holding 2", &output)) << output;
    EXPECT_EQ("held 2\n", output);

    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &lines));
    ExpectOpening(lines, L"PBT_APMSUSPEND", kThree);
    std::vector<std::wstring> rest = After(lines, kThree);
    ASSERT_EQ(1u, rest.size()) << Show(lines);
    std::wsmatch m;
    ASSERT_TRUE(std::regex_match(rest[0], m, std::wregex(L"OnPowerBroadcast\\(\\) : WaitForMultipleObjects\\(\\) returns (\\d+)\n")))
        << Show(rest);
    int value = std::stoi(m[1].str());
    EXPECT_GE(value, 0x80);
    EXPECT_LT(value, 0x83);

    for (ULONG_PTR port : { 1, 2, 3 })
        EXPECT_TRUE(IsHeld(port)) << port;
    EXPECT_EQ(3, Client(L"--wait-ms 300 try 2"));

    EXPECT_EQ(TRUE, Broadcast(PBT_APMRESUMEAUTOMATIC, &lines));
    EXPECT_EQ(std::vector<std::wstring>(3, kReleased), After(lines, kThree)) << Show(lines);
    EXPECT_TRUE(IsFree(2));
}

TEST_F(GuardPower, SixtyFivePortsMakeTheWaitFailAndTheSuspendIsGranted)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    std::wstring ports;
    std::vector<ULONG_PTR> table;
    for (ULONG_PTR p = 1; p <= 65; p++) {
        ports += L" " + std::to_wstring(p);
        table.insert(table.begin(), p);
    }
    ASSERT_EQ(0, Client(L"register" + ports));

    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &lines));
    ExpectOpening(lines, L"PBT_APMSUSPEND", table);
    EXPECT_EQ(std::vector<std::wstring>{ L"OnPowerBroadcast() : WaitForMultipleObjects() returns -1\n" },
              After(lines, table)) << Show(After(lines, table));
    EXPECT_TRUE(IsFree(1));
    EXPECT_TRUE(IsFree(65));
}

TEST_F(GuardPower, UnregisteringAHeldPortFreesItForTheClientAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(0, Client(L"register 1 2"));
    /* The port client's own handle keeps the object alive after the guard closes its. */
    ASSERT_NE((HANDLE)NULL, Open(1));
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND));
    EXPECT_EQ(3, Client(L"--wait-ms 300 try 1"));

    std::string output;
    ASSERT_EQ(0, Client(L"unregister 1", &output));
    EXPECT_EQ("unregistered 1\n", output);
    EXPECT_EQ(0, Client(L"--wait-ms 2000 try 1", &output)) << "still owned by the guard's window thread";
    EXPECT_EQ("held 1\nreleased 1\n", output);
    EXPECT_TRUE(IsHeld(2)) << "the other port stays held until the release event";

    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMRESUMEAUTOMATIC, &lines));
    ExpectOpening(lines, L"PBT_APMRESUMEAUTOMATIC", { 2 });
    EXPECT_EQ(std::vector<std::wstring>{ kReleased }, After(lines, { 2 })) << Show(lines);

    /* Two suspends with no release event between: the guard owns port 3 twice. */
    ASSERT_EQ(0, Client(L"register 3"));
    ASSERT_NE((HANDLE)NULL, Open(3));
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND));
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND));
    EXPECT_EQ(3, Client(L"--wait-ms 300 try 3"));
    ASSERT_EQ(0, Client(L"unregister 3"));
    EXPECT_EQ(0, Client(L"--wait-ms 2000 try 3", &output)) << "an ownership left with the guard's window thread";
    EXPECT_EQ("held 3\nreleased 3\n", output);
}

TEST_F(GuardPower, BatteryLowAndUnknownEventsAreUnmatched)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(0, Client(L"register 1"));
    struct Case { WPARAM code; const wchar_t *name; };
    for (const Case &c : { Case{ PBT_APMBATTERYLOW, L"PBT_APMBATTERYLOW" }, Case{ PBT_APMPOWERSTATUSCHANGE, L"PBT_APMPOWERSTATUSCHANGE" },
                           Case{ 0x77, L"Unknown" } }) {
        std::vector<std::wstring> lines;
        EXPECT_EQ(TRUE, Broadcast(c.code, &lines)) << c.code;
        ExpectOpening(lines, c.name, { 1 });
        EXPECT_EQ(std::vector<std::wstring>{ L"OnPowerBroadcast() : Unmatched\n" }, After(lines, { 1 })) << Show(lines);
    }
    EXPECT_TRUE(IsFree(1));
}

TEST_F(GuardPower, WithNoPortsEveryEventIsGranted)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    for (WPARAM code : { (WPARAM)PBT_APMQUERYSUSPEND, (WPARAM)PBT_APMSUSPEND, (WPARAM)PBT_APMRESUMEAUTOMATIC,
                         (WPARAM)PBT_APMBATTERYLOW }) {
        std::vector<std::wstring> lines;
        EXPECT_EQ(TRUE, Broadcast(code, &lines)) << code;
        ASSERT_EQ(3u, lines.size()) << Show(lines);
        EXPECT_EQ(L"OnPowerBroadcast() : Dump() : 0 Item(s)\n", lines[1]);
        EXPECT_EQ(L"OnPowerBroadcast() : No ports are registered\n", lines[2]);
    }
}

/* ---- older generation: the guard is told it runs on version 5.2 ---- */

class GuardOlderGeneration : public GuardPowerTest {
protected:
    void SetUp() override
    {
        GuardOptions options;
        options.reportedVersion = L"winxp64";
        ASSERT_NO_FATAL_FAILURE(Start(options));
        ASSERT_EQ(0, Client(L"register 1 2 3"));
    }
};

TEST_F(GuardOlderGeneration, QuerySuspendWithIdlePortsHoldsThemUntilQueryFailed)
{
    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMQUERYSUSPEND, &lines));
    ExpectOpening(lines, L"PBT_APMQUERYSUSPEND", kThree);
    EXPECT_EQ(std::vector<std::wstring>{ kAcquired }, After(lines, kThree)) << Show(lines);
    EXPECT_EQ(3, Client(L"--wait-ms 300 try 1"));
    for (ULONG_PTR port : { 1, 2, 3 })
        EXPECT_TRUE(IsHeld(port)) << port;

    EXPECT_EQ(TRUE, Broadcast(PBT_APMQUERYSUSPENDFAILED, &lines));
    ExpectOpening(lines, L"PBT_APMQUERYSUSPENDFAILED", kThree);
    EXPECT_EQ(std::vector<std::wstring>(3, kReleased), After(lines, kThree)) << Show(lines);
    EXPECT_EQ(0, Client(L"--wait-ms 5000 try 1"));
}

TEST_F(GuardOlderGeneration, PortHeldPastTheQueryWaitRefusesTheSuspendAndHoldsNone)
{
    std::wstring event;
    HANDLE release = ReleaseEvent(&event);
    ConsoleChild *holder = StartClient(L"--release-event " + event + L" hold 1 90000", "held 1\n");
    ASSERT_NE(nullptr, holder);

    std::vector<std::wstring> lines;
    double elapsedMs = 0;
    EXPECT_EQ(kDeny, Broadcast(PBT_APMQUERYSUSPEND, &lines, &elapsedMs));
    ExpectOpening(lines, L"PBT_APMQUERYSUSPEND", kThree);
    EXPECT_EQ((std::vector<std::wstring>{ kTimeout, L"OnPowerBroadcast() : Query suspend is denied\n" }),
              After(lines, kThree)) << Show(lines);
    EXPECT_GE(elapsedMs, kQuerySuspendWaitMs - kWaitTickSlackMs)
        << "answered before the " << kQuerySuspendWaitMs << " ms wait";
    EXPECT_TRUE(IsFree(2));
    EXPECT_TRUE(IsFree(3));

    SetEvent(release);
    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(WaitConsoleExit(holder, 20000, &code));
    EXPECT_EQ(0u, code) << ConsoleOutput(holder);
    EXPECT_TRUE(IsFree(1));

    /* The system then calls the suspend off; nothing is held, so nothing releases. */
    EXPECT_EQ(TRUE, Broadcast(PBT_APMQUERYSUSPENDFAILED, &lines));
    EXPECT_EQ(std::vector<std::wstring>(3, kNotOwned), After(lines, kThree)) << Show(lines);
}

TEST_F(GuardOlderGeneration, SuspendDoesNotWait)
{
    std::wstring event;
    HANDLE release = ReleaseEvent(&event);
    ConsoleChild *holder = StartClient(L"--release-event " + event + L" hold 1 60000", "held 1\n");
    ASSERT_NE(nullptr, holder);

    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &lines));
    ExpectOpening(lines, L"PBT_APMSUSPEND", kThree);
    EXPECT_TRUE(After(lines, kThree).empty()) << Show(lines);
    EXPECT_TRUE(IsFree(2)) << "nothing is taken at the suspend on the older generation";
    SetEvent(release);
    ASSERT_TRUE(WaitConsoleExit(holder, 20000, nullptr));
}

/* ---- the end ---- */

TEST_F(GuardPower, CloseWithThreePortsClosesEveryHandleBeforeTheProcessEnds)
{
    GuardOptions options;
    options.holdAtExit = true;
    ASSERT_NO_FATAL_FAILURE(Start(options));
    ASSERT_EQ(0, Client(L"register 1 2 3"));
    const std::wstring eventName = L"Global\\TAVRIKEN.OnlyOneInstance";
    for (ULONG_PTR port : { 1, 2, 3 })
        ASSERT_TRUE(NamedMutexExists(Name(port))) << port;
    ASSERT_TRUE(NamedEventExists(eventName));

    size_t mark = Mark();
    EXPECT_EQ(0, Send(WM_CLOSE, 0));
    ASSERT_TRUE(WaitChildAtExit(guard_.child, 15000)) << "the guard did not reach its exit";

    /* Stopped at its exit, the process still has whatever it did not close. */
    for (ULONG_PTR port : { 1, 2, 3 }) {
        DWORD error = 0;
        EXPECT_FALSE(NamedMutexExists(Name(port), &error)) << "mutex handle of port " << port << " left open";
        EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, error) << port;
    }
    DWORD error = 0;
    EXPECT_FALSE(NamedEventExists(eventName, &error)) << "single-instance event left open";
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, error);
    EXPECT_TRUE(LinesSince(mark).empty()) << Show(LinesSince(mark));

    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(WaitChildExit(guard_.child, 15000, &code));
    EXPECT_EQ(0u, code);
    EXPECT_TRUE(ChildExceptions(guard_.child).empty());
}

}  // namespace
}  // namespace power
