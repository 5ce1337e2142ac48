/*
 * The power broadcasts, handled directly: which events wait, with which
 * outcome and trace, which release, and what the guard holds afterwards as
 * seen from another thread. Both system generations are chosen through the
 * version seam.
 */
#include <regex>

#include "guard_handler_fixture.h"

namespace handlers {
namespace {

const std::wstring kAcquired = L"OnPowerBroadcast() : All Mutex " TAG L".HardwareAccess acquired\n";
const std::wstring kReleased = L"OnPowerBroadcast() : Release Mutex SUCCEEDED\n";
const std::wstring kNotOwned = L"OnPowerBroadcast() : Release Mutex failed. GetLastError() = 288\n";
const std::wstring kUnmatched = L"OnPowerBroadcast() : Unmatched\n";
const double kSuspendWaitMs = 1900;   /* NT6: how long a busy port is waited for at the suspend */

class PowerEvents : public HandlerTest {
protected:
    /* Sends the event and returns the handler's result; *lines gets the trace
       and *elapsedMs the time the handler took. */
    LRESULT Broadcast(WPARAM event, std::vector<std::wstring> *lines = nullptr, double *elapsedMs = nullptr)
    {
        Lines();
        LARGE_INTEGER start = TimeNow();
        LRESULT r = OnPowerBroadcast(NULL, event, 0);
        if (elapsedMs)
            *elapsedMs = MillisecondsSince(start);
        if (lines)
            *lines = Lines();
        return r;
    }
    /* The first lines of every event with ports registered. */
    std::vector<std::wstring> Opening(const std::wstring &eventName)
    {
        std::vector<std::wstring> lines = { L"OnPowerBroadcast(" + eventName + L")\n" };
        Append(&lines, DumpLines(L"OnPowerBroadcast()"));
        return lines;
    }
    std::vector<std::wstring> Then(const std::wstring &eventName, std::initializer_list<std::wstring> more)
    {
        std::vector<std::wstring> lines = Opening(eventName);
        lines.insert(lines.end(), more.begin(), more.end());
        return lines;
    }
    std::vector<std::wstring> Repeat(const std::wstring &line, int n)
    {
        return std::vector<std::wstring>(n, line);
    }
};

TEST_F(PowerEvents, EventNamesFollowTheTable)
{
    const wchar_t *named[] = {
        L"PBT_APMQUERYSUSPEND", L"PBT_APMQUERYSTANDBY", L"PBT_APMQUERYSUSPENDFAILED",
        L"PBT_APMQUERYSTANDBYFAILED", L"PBT_APMSUSPEND", L"PBT_APMSTANDBY", L"PBT_APMRESUMECRITICAL",
        L"PBT_APMRESUMESUSPEND", L"PBT_APMRESUMESTANDBY", L"PBT_APMBATTERYLOW",
        L"PBT_APMPOWERSTATUSCHANGE", L"PBT_APMOEMEVENT",
    };
    for (WPARAM code = 0; code < 12; code++)
        EXPECT_STREQ(named[code], PbtEventName(code)) << code;
    EXPECT_STREQ(L"PBT_APMRESUMEAUTOMATIC", PbtEventName(18));
    for (WPARAM code : { (WPARAM)12, (WPARAM)17, (WPARAM)19, (WPARAM)0x8013, (WPARAM)-1 })
        EXPECT_STREQ(L"Unknown", PbtEventName(code)) << code;
}

TEST_F(PowerEvents, WithNoPortsEveryEventIsGrantedWithoutAWait)
{
    for (bool older : { false, true }) {
        if (older)
            UseOlderGeneration();
        for (WPARAM code : { (WPARAM)0, (WPARAM)2, (WPARAM)4, (WPARAM)7, (WPARAM)9, (WPARAM)18, (WPARAM)0x8013 }) {
            int mallocs = g_guardSeams.mallocCalls;
            std::vector<std::wstring> lines;
            EXPECT_EQ(TRUE, Broadcast(code, &lines)) << code;
            EXPECT_EQ((std::vector<std::wstring>{
                          L"OnPowerBroadcast(" + std::wstring(PbtEventName(code)) + L")\n",
                          L"OnPowerBroadcast() : Dump() : 0 Item(s)\n",
                          L"OnPowerBroadcast() : No ports are registered\n" }),
                      lines) << "older generation " << older << ", event " << code << "\n" << Show(lines);
            EXPECT_EQ(mallocs, g_guardSeams.mallocCalls) << "no handle array for an empty table";
        }
    }
}

/* ---- NT6 generation: the wait is at PBT_APMSUSPEND, 1.9 s, always granted ---- */

TEST_F(PowerEvents, Nt6SuspendHoldsAllIdlePortsUntilResume)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 0x101, 0x102, 0x103 }));
    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &lines));
    EXPECT_EQ(Then(L"PBT_APMSUSPEND", { kAcquired }), lines) << Show(lines);
    for (ULONG_PTR port : { 0x101, 0x102, 0x103 })
        EXPECT_TRUE(IsHeld(port)) << port;

    EXPECT_EQ(TRUE, Broadcast(PBT_APMRESUMEAUTOMATIC, &lines));
    std::vector<std::wstring> expected = Opening(L"PBT_APMRESUMEAUTOMATIC");
    Append(&expected, Repeat(kReleased, 3));
    EXPECT_EQ(expected, lines) << Show(lines);
    for (ULONG_PTR port : { 0x101, 0x102, 0x103 })
        EXPECT_TRUE(IsFree(port)) << port;

    /* A second resume finds nothing to release: one failure per port. */
    EXPECT_EQ(TRUE, Broadcast(PBT_APMRESUMESUSPEND, &lines));
    expected = Opening(L"PBT_APMRESUMESUSPEND");
    Append(&expected, Repeat(kNotOwned, 3));
    EXPECT_EQ(expected, lines) << Show(lines);
}

TEST_F(PowerEvents, Nt6QuerySuspendNeitherWaitsNorTraces)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 0x111, 0x112 }));
    MutexHolder *busy = HoldOnOtherThread(MutexName(0x112), kFreeProbeMs);
    ASSERT_NE(nullptr, busy);
    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMQUERYSUSPEND, &lines)) << "a busy port must not refuse on NT6";
    EXPECT_EQ(Opening(L"PBT_APMQUERYSUSPEND"), lines) << Show(lines);
    EXPECT_TRUE(IsFree(0x111));
    ReleaseHolder(busy);
}

TEST_F(PowerEvents, Nt6SuspendWithABusyPortTimesOutAndHoldsNone)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 0x121, 0x122, 0x123 }));
    MutexHolder *busy = HoldOnOtherThread(MutexName(0x122), kFreeProbeMs);
    ASSERT_NE(nullptr, busy);
    std::vector<std::wstring> lines;
    double elapsedMs = 0;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &lines, &elapsedMs));
    EXPECT_EQ(Then(L"PBT_APMSUSPEND", { L"OnPowerBroadcast() : WaitForMultipleObjects() returns WAIT_TIMEOUT\n" }),
              lines) << Show(lines);
    EXPECT_GE(elapsedMs, kSuspendWaitMs - kWaitTickSlackMs) << "answered before the " << kSuspendWaitMs << " ms wait";
    EXPECT_TRUE(IsFree(0x121)) << "all or none";
    EXPECT_TRUE(IsFree(0x123)) << "all or none";
    ReleaseHolder(busy);
    EXPECT_TRUE(IsFree(0x122));
}

TEST_F(PowerEvents, EachSuccessfulWaitNeedsItsOwnRelease)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 0x131 }));
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND));
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND));
    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMRESUMEAUTOMATIC, &lines));
    EXPECT_EQ(kReleased, lines.back());
    EXPECT_TRUE(IsHeld(0x131)) << "taken twice, released once";
    EXPECT_EQ(TRUE, Broadcast(PBT_APMRESUMESUSPEND, &lines));
    EXPECT_EQ(kReleased, lines.back());
    EXPECT_TRUE(IsFree(0x131));
    EXPECT_EQ(TRUE, Broadcast(PBT_APMRESUMEAUTOMATIC, &lines));
    EXPECT_EQ(kNotOwned, lines.back());
}

TEST_F(PowerEvents, ReleasesGoInTableOrderAndOnPastAFailure)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 0x141 }));
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND));
    ASSERT_NO_FATAL_FAILURE(Register({ 0x142 }));   /* newest first, and not held */
    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMRESUMEAUTOMATIC, &lines));
    EXPECT_EQ(Then(L"PBT_APMRESUMEAUTOMATIC", { kNotOwned, kReleased }), lines) << Show(lines);
    EXPECT_TRUE(IsFree(0x141));
}

/* The wait value of an abandoned mutex: 0x80 plus an index (Wine gives 0x80
   whatever the index). */
void ExpectAbandonedLine(const std::vector<std::wstring> &lines, int count)
{
    ASSERT_FALSE(lines.empty());
    std::wsmatch m;
    std::wregex pattern(L"OnPowerBroadcast\\(\\) : WaitForMultipleObjects\\(\\) returns (\\d+)\n");
    ASSERT_TRUE(std::regex_match(lines.back(), m, pattern)) << Show(lines);
    int value = std::stoi(m[1].str());
    EXPECT_GE(value, 0x80);
    EXPECT_LT(value, 0x80 + count);
}

TEST_F(PowerEvents, Nt6AbandonedMutexIsTracedWithTheWaitValueAndAllAreHeld)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 0x151, 0x152, 0x153 }));
    ASSERT_TRUE(AbandonOnOtherThread(MutexName(0x152), kFreeProbeMs));
    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &lines));
    ASSERT_EQ(Opening(L"PBT_APMSUSPEND").size() + 1, lines.size()) << Show(lines);
    ExpectAbandonedLine(lines, 3);
    for (ULONG_PTR port : { 0x151, 0x152, 0x153 })
        EXPECT_TRUE(IsHeld(port)) << port;

    EXPECT_EQ(TRUE, Broadcast(PBT_APMRESUMEAUTOMATIC, &lines));
    std::vector<std::wstring> expected = Opening(L"PBT_APMRESUMEAUTOMATIC");
    Append(&expected, Repeat(kReleased, 3));
    EXPECT_EQ(expected, lines) << Show(lines);
}

TEST_F(PowerEvents, SixtyFourPortsAreTakenInOneWaitAndSixtyFiveFail)
{
    for (ULONG_PTR port = 0x200; port < 0x200 + 64; port++)
        ASSERT_NO_FATAL_FAILURE(Register({ port }));
    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &lines));
    EXPECT_EQ(kAcquired, lines.back());
    EXPECT_TRUE(IsHeld(0x200));
    EXPECT_TRUE(IsHeld(0x200 + 63));
    EXPECT_EQ(TRUE, Broadcast(PBT_APMRESUMEAUTOMATIC, &lines));
    EXPECT_EQ(64, std::count(lines.begin(), lines.end(), kReleased));

    ASSERT_NO_FATAL_FAILURE(Register({ 0x200 + 64 }));
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &lines));
    EXPECT_EQ(Then(L"PBT_APMSUSPEND", { L"OnPowerBroadcast() : WaitForMultipleObjects() returns -1\n" }), lines)
        << Show(lines);
    EXPECT_TRUE(IsFree(0x200));
    EXPECT_TRUE(IsFree(0x200 + 64));

    UseOlderGeneration();
    EXPECT_EQ(TRUE, Broadcast(PBT_APMQUERYSUSPEND, &lines));
    EXPECT_EQ(Then(L"PBT_APMQUERYSUSPEND",
                   { L"OnPowerBroadcast() : WaitForMultipleObjects() returns WAIT_FAILED. GetLastError() = 87\n" }),
              lines) << Show(lines);
    EXPECT_TRUE(IsFree(0x200 + 30));
}

/* ---- older generation: the wait is at PBT_APMQUERYSUSPEND, 17.5 s, may refuse ---- */

TEST_F(PowerEvents, OlderGenerationQuerySuspendHoldsAllUntilQueryFailed)
{
    UseOlderGeneration();
    ASSERT_NO_FATAL_FAILURE(Register({ 0x161, 0x162, 0x163 }));
    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMQUERYSUSPEND, &lines));
    EXPECT_EQ(Then(L"PBT_APMQUERYSUSPEND", { kAcquired }), lines) << Show(lines);
    for (ULONG_PTR port : { 0x161, 0x162, 0x163 })
        EXPECT_TRUE(IsHeld(port)) << port;

    EXPECT_EQ(TRUE, Broadcast(PBT_APMQUERYSUSPENDFAILED, &lines));
    std::vector<std::wstring> expected = Opening(L"PBT_APMQUERYSUSPENDFAILED");
    Append(&expected, Repeat(kReleased, 3));
    EXPECT_EQ(expected, lines) << Show(lines);
    for (ULONG_PTR port : { 0x161, 0x162, 0x163 })
        EXPECT_TRUE(IsFree(port)) << port;

    /* The resume after a granted query releases too. */
    EXPECT_EQ(TRUE, Broadcast(PBT_APMQUERYSUSPEND));
    EXPECT_TRUE(IsHeld(0x162));
    EXPECT_EQ(TRUE, Broadcast(PBT_APMRESUMESUSPEND, &lines));
    EXPECT_EQ(3, std::count(lines.begin(), lines.end(), kReleased)) << Show(lines);
    EXPECT_TRUE(IsFree(0x162));
}

TEST_F(PowerEvents, OlderGenerationSuspendDoesNotWait)
{
    UseOlderGeneration();
    ASSERT_NO_FATAL_FAILURE(Register({ 0x171, 0x172 }));
    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &lines));
    EXPECT_EQ(Opening(L"PBT_APMSUSPEND"), lines) << Show(lines);
    EXPECT_TRUE(IsFree(0x171)) << "idle ports must not be taken at the suspend on the older generation";
    EXPECT_TRUE(IsFree(0x172));
}

TEST_F(PowerEvents, OlderGenerationAbandonedMutexIsTracedAndAllAreHeld)
{
    UseOlderGeneration();
    ASSERT_NO_FATAL_FAILURE(Register({ 0x181, 0x182 }));
    ASSERT_TRUE(AbandonOnOtherThread(MutexName(0x181), kFreeProbeMs));
    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMQUERYSUSPEND, &lines));
    ASSERT_EQ(Opening(L"PBT_APMQUERYSUSPEND").size() + 1, lines.size()) << Show(lines);
    ExpectAbandonedLine(lines, 2);
    EXPECT_TRUE(IsHeld(0x181));
    EXPECT_TRUE(IsHeld(0x182));
}

TEST_F(PowerEvents, FailedVersionProbeCountsAsTheOlderGeneration)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 0x191 }));
    g_guardSeams.fakeVersion = false;
    g_guardSeams.versionFailures = -1;
    g_nOsVersionKnown = 0;

    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &lines));
    EXPECT_EQ(Opening(L"PBT_APMSUSPEND"), lines) << Show(lines);
    EXPECT_TRUE(IsFree(0x191));

    EXPECT_EQ(TRUE, Broadcast(PBT_APMQUERYSUSPEND, &lines));
    EXPECT_EQ(Then(L"PBT_APMQUERYSUSPEND", { kAcquired }), lines) << Show(lines);
    EXPECT_TRUE(IsHeld(0x191));
}

/* ---- events that neither wait nor release ---- */

TEST_F(PowerEvents, BatteryLowAndOtherCodesAreUnmatched)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 0x1A1, 0x1A2 }));
    for (bool older : { false, true }) {
        if (older)
            UseOlderGeneration();
        for (WPARAM code : { (WPARAM)9, (WPARAM)1, (WPARAM)3, (WPARAM)5, (WPARAM)6, (WPARAM)8, (WPARAM)10,
                             (WPARAM)11, (WPARAM)0x1234 }) {
            std::vector<std::wstring> lines;
            EXPECT_EQ(TRUE, Broadcast(code, &lines)) << code;
            EXPECT_EQ(Then(PbtEventName(code), { kUnmatched }), lines) << code << "\n" << Show(lines);
        }
    }
    std::vector<std::wstring> lines;
    Broadcast(9, &lines);
    EXPECT_EQ(L"OnPowerBroadcast(PBT_APMBATTERYLOW)\n", lines.front());
    Broadcast(0x1234, &lines);
    EXPECT_EQ(L"OnPowerBroadcast(Unknown)\n", lines.front());
    EXPECT_TRUE(IsFree(0x1A1));
    EXPECT_TRUE(IsFree(0x1A2));
}

/* ---- the handle array cannot be allocated ---- */

TEST_F(PowerEvents, NoHandleArrayIsTracedAndGrantedWithoutWaiting)
{
    const std::wstring kNoArray = L"OnPowerBroadcast() : malloc(24) failed. GetLastError() = 8\n";
    ASSERT_NO_FATAL_FAILURE(Register({ 0x1B1, 0x1B2, 0x1B3 }));
    g_guardSeams.mallocFailFrom = g_guardSeams.mallocCalls + 1;

    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND, &lines));
    EXPECT_EQ(Then(L"PBT_APMSUSPEND", { kNoArray }), lines) << Show(lines);
    EXPECT_TRUE(IsFree(0x1B1));

    /* Older generation, one port busy: a wait would refuse; there is none. */
    UseOlderGeneration();
    MutexHolder *busy = HoldOnOtherThread(MutexName(0x1B2), kFreeProbeMs);
    ASSERT_NE(nullptr, busy);
    EXPECT_EQ(TRUE, Broadcast(PBT_APMQUERYSUSPEND, &lines));
    EXPECT_EQ(Then(L"PBT_APMQUERYSUSPEND", { kNoArray }), lines) << Show(lines);
    ReleaseHolder(busy);
}

TEST_F(PowerEvents, NoHandleArrayStillReleasesAtResume)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 0x1C1, 0x1C2, 0x1C3 }));
    EXPECT_EQ(TRUE, Broadcast(PBT_APMSUSPEND));
    ASSERT_TRUE(IsHeld(0x1C1));
    g_guardSeams.mallocFailFrom = g_guardSeams.mallocCalls + 1;

    std::vector<std::wstring> lines;
    EXPECT_EQ(TRUE, Broadcast(PBT_APMRESUMEAUTOMATIC, &lines));
    std::vector<std::wstring> expected =
        Then(L"PBT_APMRESUMEAUTOMATIC", { L"OnPowerBroadcast() : malloc(24) failed. GetLastError() = 8\n" });
    Append(&expected, Repeat(kReleased, 3));
    EXPECT_EQ(expected, lines) << Show(lines);
    for (ULONG_PTR port : { 0x1C1, 0x1C2, 0x1C3 })
        EXPECT_TRUE(IsFree(port)) << port;
}

}  // namespace
}  // namespace handlers
