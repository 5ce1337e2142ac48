/*
 * The guard's figures: the suspend hand-off with N idle ports (PBT_APMSUSPEND
 * until it returns holding every mutex, then PBT_APMRESUMEAUTOMATIC), and the
 * registration of one more port (register + unregister) with N registered.
 * Each is timed on three sides in interleaved rounds: the real guard, the
 * floor window, and the floor window writing the guard's number of trace
 * lines. No debugger is attached to either program, as in the field.
 */
#include <stdio.h>
#include "bench.h"
#include "port_client.h"

#define SIDE_COUNT 3

static const wchar_t *const kSides[SIDE_COUNT] = { L"guard", L"floor", L"floor_traced" };
static const int kPortCounts[] = { 1, 8, 32, 64 };

struct GuardRun {
    PROCESS_INFORMATION guard;
    PROCESS_INFORMATION floor;
    HWND guardWindow;
    HWND floorWindow;
    int registered;
};

/* The window a side's messages go to, and the lParam that selects tracing. */
static HWND SideWindow(GuardRun *run, int side, LPARAM *lParam)
{
    *lParam = side == 2 ? BENCH_FLOOR_TRACED : 0;
    return side == 0 ? run->guardWindow : run->floorWindow;
}

static void MutexName(const wchar_t *tag, ULONG_PTR hPort, wchar_t *name, int units)
{
    wchar_t infixed[32];
    _snwprintf(infixed, 31, L"%ls%ls", tag, POWER_GUARD_MUTEX_INFIX);
    infixed[31] = L'\0';
    _snwprintf(name, units - 1, POWER_GUARD_MUTEX_NAME_FORMAT, POWER_GUARD_GLOBAL_PREFIX, infixed, hPort);
    name[units - 1] = L'\0';
}

/* Whether another process holds the port's mutex now: a wait of 0 ms from
   the bench times out. A mutex found free is released again. */
static int ProbeHeld(const wchar_t *tag, ULONG_PTR hPort)
{
    wchar_t name[POWER_GUARD_MUTEX_NAME_UNITS + 8];
    HANDLE h;
    DWORD r;

    MutexName(tag, hPort, name, sizeof(name) / sizeof(name[0]));
    h = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
    if (!h)
        return -1;
    r = WaitForSingleObject(h, 0);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED)
        ReleaseMutex(h);
    CloseHandle(h);
    return r == WAIT_TIMEOUT ? 1 : 0;
}

/* Before a size is timed: a suspend must leave the first and the last port
   held by the side's program, and the resume must free them. */
static BOOL CheckHandOff(GuardRun *run, int side, int count)
{
    const wchar_t *tag = side == 0 ? g_bench.tag : BENCH_FLOOR_TAG;
    ULONG_PTR first = BENCH_PORT_BASE, last = BENCH_PORT_BASE + (ULONG_PTR)count - 1;
    LPARAM lParam;
    HWND window = SideWindow(run, side, &lParam);

    if (!SendBounded(window, WM_POWERBROADCAST, PBT_APMSUSPEND, lParam, NULL))
        return FALSE;
    if (ProbeHeld(tag, first) != 1 || ProbeHeld(tag, last) != 1) {
        Notice(L"error: %ls: after the suspend with %d ports the mutexes are not all held", kSides[side], count);
        return FALSE;
    }
    if (!SendBounded(window, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, lParam, NULL))
        return FALSE;
    if (ProbeHeld(tag, first) != 0 || ProbeHeld(tag, last) != 0) {
        Notice(L"error: %ls: after the resume with %d ports a mutex is still held", kSides[side], count);
        return FALSE;
    }
    return TRUE;
}

/* Brings both tables to count idle ports (the floor's is shared by its two sides). */
static BOOL RegisterUpTo(GuardRun *run, int count)
{
    for (; run->registered < count; run->registered++) {
        WPARAM port = BENCH_PORT_BASE + (WPARAM)run->registered;
        if (!SendBounded(run->guardWindow, WM_POWREGISTER, port, 0, NULL) ||
            !SendBounded(run->floorWindow, WM_POWREGISTER, port, 0, NULL))
            return FALSE;
    }
    return TRUE;
}

/* One timed round of one side: repeats suspend/resume cycles. */
static BOOL TimeSuspendRound(GuardRun *run, int side, double *suspendUs, double *resumeUs)
{
    LPARAM lParam;
    HWND window = SideWindow(run, side, &lParam);
    double suspend = 0, resume = 0;

    for (int i = 0; i < g_bench.repeats; i++) {
        LONGLONG t0 = Now();
        if (!SendBounded(window, WM_POWERBROADCAST, PBT_APMSUSPEND, lParam, NULL))
            return FALSE;
        suspend += MicrosecondsSince(t0);
        LONGLONG t1 = Now();
        if (!SendBounded(window, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, lParam, NULL))
            return FALSE;
        resume += MicrosecondsSince(t1);
    }
    *suspendUs = suspend / g_bench.repeats;
    *resumeUs = resume / g_bench.repeats;
    return TRUE;
}

static BOOL TimeRegistrationRound(GuardRun *run, int side, double *us)
{
    LPARAM lParam;
    HWND window = SideWindow(run, side, &lParam);
    LONGLONG t0 = Now();

    for (int i = 0; i < g_bench.repeats; i++)
        if (!SendBounded(window, WM_POWREGISTER, BENCH_PORT_EXTRA, lParam, NULL) ||
            !SendBounded(window, WM_POWUNREGISTER, BENCH_PORT_EXTRA, lParam, NULL))
            return FALSE;
    *us = MicrosecondsSince(t0) / g_bench.repeats;
    return TRUE;
}

static BOOL MeasureSize(GuardRun *run, int count)
{
    double suspendUs, resumeUs, us;

    for (int side = 0; side < SIDE_COUNT; side++)
        if (!CheckHandOff(run, side, count))
            return FALSE;
    /* Warm-up, not printed. */
    for (int side = 0; side < SIDE_COUNT; side++)
        if (!TimeSuspendRound(run, side, &suspendUs, &resumeUs) || !TimeRegistrationRound(run, side, &us))
            return FALSE;

    /* The sides take turns, each round starting with the next one, so that a
       slow spell of the machine falls on all of them alike. */
    for (int round = 0; round < g_bench.rounds; round++) {
        for (int k = 0; k < SIDE_COUNT; k++) {
            int side = (round + k) % SIDE_COUNT;
            if (!TimeSuspendRound(run, side, &suspendUs, &resumeUs))
                return FALSE;
            PrintRound(L"suspend", count, kSides[side], round, suspendUs + resumeUs);
            PrintRound(L"suspend_only", count, kSides[side], round, suspendUs);
            PrintRound(L"resume_only", count, kSides[side], round, resumeUs);
        }
        for (int k = 0; k < SIDE_COUNT; k++) {
            int side = (round + k) % SIDE_COUNT;
            if (!TimeRegistrationRound(run, side, &us))
                return FALSE;
            PrintRound(L"register", count, kSides[side], round, us);
        }
    }
    return TRUE;
}

int BenchGuard(void)
{
    GuardRun run;
    wchar_t command[BENCH_PATH_UNITS * 2];
    DWORD exitCode = 0;
    BOOL ok = TRUE;

    ZeroMemory(&run, sizeof(run));
    if (FindWindowW(g_bench.tag, NULL) || FindWindowW(BENCH_FLOOR_CLASS, NULL)) {
        Notice(L"error: a %ls guard or a floor window already runs in this prefix", g_bench.tag);
        return BENCH_FAILED;
    }
    _snwprintf(command, sizeof(command) / sizeof(command[0]) - 1, L"\"%ls\\%ls.exe\"", g_bench.distDir, g_bench.tag);
    command[sizeof(command) / sizeof(command[0]) - 1] = L'\0';
    if (!StartProgram(command, &run.guard))
        return BENCH_FAILED;
    _snwprintf(command, sizeof(command) / sizeof(command[0]) - 1, L"\"%ls\" --floor-window", g_bench.self);
    if (!StartProgram(command, &run.floor)) {
        TerminateProcess(run.guard.hProcess, 0xDEAD);
        CloseWindowProgram(NULL, &run.guard, 5000, NULL);
        return BENCH_FAILED;
    }
    run.guardWindow = FindWindowOfProcess(g_bench.tag, run.guard.dwProcessId, 15000);
    run.floorWindow = FindWindowOfProcess(BENCH_FLOOR_CLASS, run.floor.dwProcessId, 15000);
    if (!run.guardWindow || !run.floorWindow) {
        Notice(L"error: no %ls window", run.guardWindow ? L"floor" : L"guard");
        ok = FALSE;
    }

    for (size_t i = 0; ok && i < sizeof(kPortCounts) / sizeof(kPortCounts[0]); i++) {
        Notice(L"guard: %d port(s)", kPortCounts[i]);
        ok = RegisterUpTo(&run, kPortCounts[i]) && MeasureSize(&run, kPortCounts[i]);
    }

    if (!CloseWindowProgram(run.guardWindow, &run.guard, 10000, &exitCode))
        ok = FALSE;
    else if (exitCode != 0) {
        Notice(L"error: the guard ended with exit code %lu", exitCode);
        ok = FALSE;
    }
    if (!CloseWindowProgram(run.floorWindow, &run.floor, 10000, NULL))
        ok = FALSE;
    return ok ? BENCH_OK : BENCH_FAILED;
}
