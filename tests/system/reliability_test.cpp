/*
 * The real guard under load and under a storm of messages, run under the
 * debugger loop so that every trace line and every first-chance exception is
 * seen.
 *
 * Soak: suspend/resume cycles with 64 registered ports while client threads
 * in two processes take and release random ports' mutexes. After each suspend
 * no client may hold a mutex, and none may take one until the resume.
 *
 * Storm: random register, unregister and power messages, with port values 0
 * and the maximum, unknown event codes and more than 64 ports; after every
 * message the dump's item count must match the test's own model of the table.
 *
 * Sizes: SOAK_CYCLES (default 100) and STORM_MESSAGES (default 1600: a small
 * table, then one phase past 64 ports); CI runs SOAK_CYCLES=1000 and
 * STORM_MESSAGES=10000, and the full storm is STORM_MESSAGES=100000 (every
 * trace line is a debug event: about 5 ms a message, more past 64 ports);
 * STORM_SEED and SOAK_SEED repeat a run.
 */
#include <gtest/gtest.h>
#include <windows.h>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "child_process.h"
#include "guard_harness.h"
#include "handle_count.h"
#include "port_client.h"
#include "soak_shared.h"
#include "test_paths.h"

namespace {

const wchar_t kTag[] = L"TAVRIKEN";
const DWORD kMessageMs = 20000;

unsigned long long EnvNumber(const wchar_t *name, unsigned long long fallback)
{
    wchar_t text[64];
    DWORD n = GetEnvironmentVariableW(name, text, 64);
    if (n == 0 || n >= 64)
        return fallback;
    return _wcstoui64(text, NULL, 10);
}

std::wstring HelperPath(const std::wstring &file)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    std::wstring dir(self);
    return dir.substr(0, dir.find_last_of(L"\\/")) + L"\\" + file;
}

struct SoakClients {
    HANDLE mapping = NULL;
    SoakShared *shared = nullptr;
    std::vector<PROCESS_INFORMATION> processes;
};

void StopClients(SoakClients *c, std::vector<DWORD> *exitCodes);

class Reliability : public ::testing::Test {
protected:
    /* The soak's clients too, should an assertion end it early: left
       running, they would take mutexes for ever. */
    void TearDown() override
    {
        StopClients(&clients_, nullptr);
        DisposeGuard(&guard_);
    }

    void Start()
    {
        std::wstring error;
        ASSERT_TRUE(StartGuard(&guard_, kTag, GuardOptions(), &error)) << Narrow(error);
        ASSERT_TRUE(WaitForChildLineCount(guard_.child, 3, 10000)) << "no start-up trace";
    }

    LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam = 0)
    {
        bool delivered = false;
        LRESULT r = SendToGuard(&guard_, message, wParam, lParam, kMessageMs, &delivered);
        EXPECT_TRUE(delivered) << "message 0x" << std::hex << message << " wParam 0x" << wParam << " not answered";
        return r;
    }

    /* The line the guard traced at index, tag stripped ("" when missing). */
    bool LineAt(size_t index, const std::wstring &text)
    {
        return WaitForChildLine(guard_.child, std::wstring(kTag) + text, 0, index) == (int)index;
    }

    void ExpectNoExceptions()
    {
        std::vector<DWORD> codes = ChildExceptions(guard_.child);
        for (DWORD code : codes)
            ADD_FAILURE() << "the guard raised exception 0x" << std::hex << code;
    }

    void CloseAndExpectExitZero()
    {
        DWORD code = 0xFFFF;
        ASSERT_TRUE(CloseGuard(&guard_, 20000, &code)) << "the guard did not end at WM_CLOSE";
        EXPECT_EQ(0u, code);
    }

    GuardProcess guard_;
    SoakClients clients_;
};

/* ---- soak ---- */

const int kSoakPorts = 64;
const ULONG_PTR kSoakPortBase = 0x50A0;
const int kClientProcesses = 2;
const int kThreadsPerProcess = 2;

/* The lines of one cycle as the guard's own handlers say they must be. */
const size_t kSuspendLines = 2 + kSoakPorts + 1;         /* event, dump, acquired */
const size_t kResumeLines = 2 + kSoakPorts + kSoakPorts;  /* event, dump, one release each */

void StopClients(SoakClients *c, std::vector<DWORD> *exitCodes)
{
    if (c->shared)
        InterlockedExchange(&c->shared->stop, 1);
    for (PROCESS_INFORMATION &pi : c->processes) {
        DWORD code = 0xDEAD;
        if (WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0)
            TerminateProcess(pi.hProcess, 0xDEAD);
        WaitForSingleObject(pi.hProcess, 5000);
        GetExitCodeProcess(pi.hProcess, &code);
        if (exitCodes)
            exitCodes->push_back(code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    c->processes.clear();
    if (c->shared)
        UnmapViewOfFile(c->shared);
    if (c->mapping)
        CloseHandle(c->mapping);
    c->shared = nullptr;
    c->mapping = NULL;
}

/* Which client thread marks a port as held or waited for, as text. */
std::string Marks(const SoakShared *s, const volatile LONG *marks)
{
    std::string out;
    for (int i = 0; i < kClientProcesses * kThreadsPerProcess; i++)
        if (marks[i])
            out += " thread " + std::to_string(i) + " port " + std::to_string(marks[i] - 1);
    (void)s;
    return out;
}

TEST_F(Reliability, SoakSuspendResumeWithBusyClientsKeepsTheInvariant)
{
    const unsigned long long cycles = EnvNumber(L"SOAK_CYCLES", 100);
    const unsigned long long seed = EnvNumber(L"SOAK_SEED", GetTickCount());
    SCOPED_TRACE("SOAK_SEED=" + std::to_string(seed) + " SOAK_CYCLES=" + std::to_string(cycles));
    ASSERT_NO_FATAL_FAILURE(Start());
    DWORD pid = ChildProcessId(guard_.child);

    std::vector<OpenHandle> atStart, registered, afterCycles, atEnd;
    ASSERT_TRUE(ListProcessHandles(pid, &atStart)) << "no system handle list";
    ASSERT_FALSE(atStart.empty()) << "the handle list shows nothing of the guard; it cannot count";

    for (int i = 0; i < kSoakPorts; i++)
        Send(WM_POWREGISTER, kSoakPortBase + i);
    ASSERT_TRUE(ListProcessHandles(pid, &registered));
    ASSERT_EQ(atStart.size() + kSoakPorts, registered.size())
        << "one mutex handle per registered port\n" << DescribeHandleChange(atStart, registered);

    SoakClients &clients = clients_;
    std::wstring mappingName = L"soak-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(seed);
    clients.mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(SoakShared),
                                         mappingName.c_str());
    ASSERT_NE((HANDLE)NULL, clients.mapping);
    clients.shared = (SoakShared *)MapViewOfFile(clients.mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SoakShared));
    ASSERT_NE(nullptr, clients.shared);
    SoakShared *s = clients.shared;
    ZeroMemory(s, sizeof(*s));
    s->portBase = kSoakPortBase;
    s->portCount = kSoakPorts;
    wcscpy(s->namePrefix, (std::wstring(L"Global\\") + kTag + L".HardwareAccess.").c_str());

    for (int p = 0; p < kClientProcesses; p++) {
        PROCESS_INFORMATION pi = {};
        std::wstring command = Quote(HelperPath(L"soak_client.exe")) + L" " + mappingName + L" " +
                               std::to_wstring(p * kThreadsPerProcess) + L" " + std::to_wstring(kThreadsPerProcess) +
                               L" " + std::to_wstring(seed + p);
        ASSERT_TRUE(StartProcess(command, &pi)) << "cannot start " << Narrow(command);
        clients.processes.push_back(pi);
    }
    DWORD waitStart = GetTickCount();
    while (s->threadsReady < kClientProcesses * kThreadsPerProcess && GetTickCount() - waitStart < 20000)
        Sleep(10);
    ASSERT_EQ(kClientProcesses * kThreadsPerProcess, s->threadsReady) << "client threads did not start";

    const std::wstring acquired = L"OnPowerBroadcast() : All Mutex " + std::wstring(kTag) + L".HardwareAccess acquired\n";
    size_t mark = ChildLineCount(guard_.child);
    size_t expected = mark;
    unsigned long long contended = 0, broken = 0;
    for (unsigned long long cycle = 0; cycle < cycles && !broken; cycle++) {
        EXPECT_EQ(TRUE, Send(WM_POWERBROADCAST, PBT_APMSUSPEND));
        expected += kSuspendLines;
        ASSERT_EQ(expected, ChildLineCount(guard_.child)) << "cycle " << cycle << ": suspend lines";
        ASSERT_TRUE(LineAt(expected - 1, acquired)) << "cycle " << cycle << ": the suspend did not take every mutex";

        /* The guard holds every mutex now: no mark, and no acquisition until the resume. */
        LONG before = s->acquisitions;
        std::string held = Marks(s, s->holding);
        Sleep(1);
        std::string heldLater = Marks(s, s->holding);
        LONG after = s->acquisitions;
        if (!Marks(s, s->waiting).empty())
            contended++;
        if (!held.empty() || !heldLater.empty() || after != before) {
            broken++;
            ADD_FAILURE() << "cycle " << cycle << ": while the guard holds every mutex, clients hold:" << held
                          << " /" << heldLater << "; acquisitions " << before << " -> " << after;
        }

        EXPECT_EQ(TRUE, Send(WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC));
        expected += kResumeLines;
        ASSERT_EQ(expected, ChildLineCount(guard_.child)) << "cycle " << cycle << ": resume lines";
    }
    LONG acquisitions = s->acquisitions;
    LONG failures = s->failures;
    std::vector<DWORD> exitCodes;
    StopClients(&clients, &exitCodes);
    for (DWORD code : exitCodes)
        EXPECT_EQ(0u, code) << "a client's wait failed";
    EXPECT_EQ(0, failures);
    EXPECT_GT(acquisitions, (LONG)cycles) << "the clients hardly ran";
    EXPECT_GT(contended, 0u) << "no client ever waited on a mutex the guard held: the soak tested nothing";

    /* The same handles after the cycles as before them (mutexes, event, window station...). */
    ASSERT_TRUE(ListProcessHandles(pid, &afterCycles));
    EXPECT_EQ(registered.size(), afterCycles.size()) << DescribeHandleChange(registered, afterCycles);

    /* Every line of every cycle, as the handlers trace it. */
    std::vector<std::wstring> lines = GuardLines(&guard_);
    ASSERT_EQ(expected, lines.size());
    std::wstring releasedLine = L"OnPowerBroadcast() : Release Mutex SUCCEEDED\n";
    std::wstring dumpLine = L"OnPowerBroadcast() : Dump() : " + std::to_wstring(kSoakPorts) + L" Item(s)\n";
    size_t wrong = 0;
    for (size_t at = mark; at < lines.size() && wrong < 5;) {
        size_t start = at;
        bool ok = lines[at++] == L"OnPowerBroadcast(PBT_APMSUSPEND)\n" && lines[at++] == dumpLine;
        for (int i = 0; i < kSoakPorts; i++)
            ok = ok && lines[at++].compare(0, 1 + std::to_wstring(i).size() + 1, L"[" + std::to_wstring(i) + L"]") == 0;
        ok = ok && lines[at++] == acquired;
        ok = ok && lines[at++] == L"OnPowerBroadcast(PBT_APMRESUMEAUTOMATIC)\n" && lines[at++] == dumpLine;
        for (int i = 0; i < kSoakPorts; i++)
            ok = ok && lines[at++].compare(0, 1 + std::to_wstring(i).size() + 1, L"[" + std::to_wstring(i) + L"]") == 0;
        for (int i = 0; i < kSoakPorts; i++)
            ok = ok && lines[at++] == releasedLine;
        if (!ok) {
            wrong++;
            ADD_FAILURE() << "cycle at line " << start << " differs:\n"
                          << Narrow(JoinLines(std::vector<std::wstring>(lines.begin() + start, lines.begin() + at)));
        }
        at = start + kSuspendLines + kResumeLines;
    }

    for (int i = 0; i < kSoakPorts; i++)
        Send(WM_POWUNREGISTER, kSoakPortBase + i);
    ASSERT_TRUE(ListProcessHandles(pid, &atEnd));
    EXPECT_EQ(atStart.size(), atEnd.size()) << DescribeHandleChange(atStart, atEnd);
    ExpectNoExceptions();
    CloseAndExpectExitZero();
}

/* ---- message storm ---- */

struct StormModel {
    std::set<ULONG_PTR> ports;
};

TEST_F(Reliability, StormOfRandomMessagesLeavesTheTableAsTheModelSays)
{
    const unsigned long long messages = EnvNumber(L"STORM_MESSAGES", 1600);
    const unsigned long long seed = EnvNumber(L"STORM_SEED", GetTickCount());
    SCOPED_TRACE("STORM_SEED=" + std::to_string(seed) + " STORM_MESSAGES=" + std::to_string(messages));
    ASSERT_NO_FATAL_FAILURE(Start());

    std::mt19937_64 random(seed);
    auto chance = [&](int percent) { return (int)(random() % 100) < percent; };
    StormModel model;
    const ULONG_PTR kMax = ~(ULONG_PTR)0;
    /* Most of the time a small table; in the first 600 messages of the
       second of every five phases of 1000 the table grows past the 64 objects
       a wait can take (unregistering then only ports it does not hold). */
    size_t limit = 4;
    bool big = false;
    unsigned long long overSixtyFour = 0, failedWaits = 0;

    auto pickPort = [&]() -> ULONG_PTR {
        int k = (int)(random() % 100);
        if (k < 8)
            return 0;
        if (k < 16)
            return kMax;
        if (k < 22)
            return (ULONG_PTR)random();
        if (k < 50 && !model.ports.empty()) {
            auto it = model.ports.begin();
            std::advance(it, random() % model.ports.size());
            return *it;
        }
        return 1 + (ULONG_PTR)(random() % (limit + 40));
    };
    auto pickUnknown = [&]() -> ULONG_PTR {
        ULONG_PTR port;
        do
            port = chance(50) ? (ULONG_PTR)random() : 1000 + (ULONG_PTR)(random() % 1000);
        while (model.ports.count(port));
        return port;
    };
    auto pickRegistered = [&]() -> ULONG_PTR {
        if (model.ports.empty() || chance(20))
            return pickPort();
        auto it = model.ports.begin();
        std::advance(it, random() % model.ports.size());
        return *it;
    };

    for (unsigned long long n = 0; n < messages; n++) {
        bool bigNow = (n / 1000) % 5 == 1 && n % 1000 < 600;
        if (n % 1000 == 0 || bigNow != big) {
            big = bigNow;
            limit = big ? 66 + random() % 8 : 1 + random() % 6;
        }
        size_t mark = ChildLineCount(guard_.child);
        int kind = (int)(random() % 100);
        LPARAM lParam = chance(20) ? (LPARAM)random() : 0;
        bool grow = model.ports.size() < limit;
        std::wstring caller;
        if (kind >= 20 && kind < (grow ? 75 : 40)) {
            ULONG_PTR port = pickPort();
            EXPECT_EQ(0, Send(WM_POWREGISTER, port, lParam));
            model.ports.insert(port);
            caller = L"OnPowRegister()";
        } else if (kind >= 20) {
            ULONG_PTR port = !grow ? pickRegistered() : big ? pickUnknown() : pickPort();
            EXPECT_EQ(0, Send(WM_POWUNREGISTER, port, lParam));
            model.ports.erase(port);
            caller = L"OnPowUnregister()";
        } else {
            static const WPARAM known[] = { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 18, 4, 4, 18, 18, 7, 2 };
            WPARAM event;
            int e = (int)(random() % 100);
            if (e < 70)
                event = known[random() % (sizeof(known) / sizeof(known[0]))];
            else if (e < 80)
                event = 12 + random() % 6;              /* gaps in the table */
            else if (e < 90)
                event = 19 + (WPARAM)(random() % 0x10000);
            else
                event = chance(50) ? kMax : (WPARAM)random();
            LRESULT r = Send(WM_POWERBROADCAST, event, lParam);
            /* NT6: every event is granted (a query is refused only on the older generation). */
            EXPECT_EQ(TRUE, r) << "event " << event;
            caller = L"OnPowerBroadcast()";
            if (event == PBT_APMSUSPEND && model.ports.size() > 64) {
                overSixtyFour++;
                if (WaitForChildLine(guard_.child, std::wstring(kTag) +
                                     L"OnPowerBroadcast() : WaitForMultipleObjects() returns -1\n", 0, mark) >= 0)
                    failedWaits++;
            }
        }
        std::wstring dump = std::wstring(kTag) + caller + L" : Dump() : " + std::to_wstring(model.ports.size()) + L" Item(s)\n";
        int at = WaitForChildLine(guard_.child, dump, 0, mark);
        if (at < 0) {
            std::vector<std::wstring> all = ChildLines(guard_.child);
            std::vector<std::wstring> tail(all.begin() + (mark < all.size() ? mark : all.size()),
                                           all.begin() + (mark + 8 < all.size() ? mark + 8 : all.size()));
            FAIL() << "message " << n << ": the dump does not say " << model.ports.size() << " item(s):\n"
                   << Narrow(JoinLines(tail));
        }
        if (n % 5000 == 0 && !ChildExceptions(guard_.child).empty())
            break;
    }
    ExpectNoExceptions();
    EXPECT_GT(overSixtyFour, 0u) << "the storm never suspended with more than 64 ports";
    EXPECT_EQ(overSixtyFour, failedWaits) << "a suspend with more than 64 ports must fail its wait";

    /* The end: every remaining port closed with the window, exit code 0. */
    CloseAndExpectExitZero();
}

}  // namespace
