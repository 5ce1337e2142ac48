/*
 * The benchmark: what its source files share. Every figure is measured side
 * by side with a floor, the same platform work done by the bench itself, in
 * interleaved rounds; each round prints one line that run_bench.sh gathers:
 *
 *   ROUND <group> <x> <side> <round> <microseconds per operation>
 */
#ifndef BENCH_H
#define BENCH_H

#include <windows.h>
#include "notice.h"   /* notes and errors are notices */

/* Exit codes. */
#define BENCH_OK        0
#define BENCH_USAGE     1
#define BENCH_FAILED    2

#define BENCH_MAX_PORTS    64
#define BENCH_MAX_ROUNDS   1000
#define BENCH_PATH_UNITS   (MAX_PATH * 2)

/* The floor window: a second instance of the bench hosting a window that
   answers the guard's messages with only the platform calls behind them. */
#define BENCH_FLOOR_CLASS  L"BENCHFLOOR"
#define BENCH_FLOOR_TAG    L"BENCHFLR"
/* lParam of a message to the floor window: also write as many debug-output
   lines as the guard traces for that message. */
#define BENCH_FLOOR_TRACED 1

/* Port values the bench registers: BENCH_PORT_BASE + i for the idle ports,
   BENCH_PORT_EXTRA for the one registered and unregistered in the loop. */
#define BENCH_PORT_BASE    0x1000
#define BENCH_PORT_EXTRA   0xBE0C4

struct BenchOptions {
    wchar_t self[BENCH_PATH_UNITS];      /* this program, for the floor window */
    wchar_t distDir[BENCH_PATH_UNITS];   /* where the deliverables are */
    const wchar_t *tag;                  /* the guard build to measure */
    const wchar_t *coinstallerTag;       /* the co-installer build to measure */
    const wchar_t *part;                 /* "guard", "coinstaller" or "all" */
    int rounds;                          /* interleaved rounds per figure */
    int repeats;                         /* operations timed together in one round */
    BOOL quick;                          /* co-installer: the small sizes only */
};

extern BenchOptions g_bench;

/* timing.cpp */
void StartClock(void);
double MicrosecondsSince(LONGLONG start);
LONGLONG Now(void);
void PrintRound(const wchar_t *group, int x, const wchar_t *side, int round, double us);

/* processes.cpp */
BOOL StartProgram(const wchar_t *commandLine, PROCESS_INFORMATION *pi);
HWND FindWindowOfProcess(const wchar_t *className, DWORD pid, DWORD timeoutMs);
BOOL CloseWindowProgram(HWND window, PROCESS_INFORMATION *pi, DWORD timeoutMs, DWORD *exitCode);
BOOL SendBounded(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR *answer);

/* floor_window.cpp: the --floor-window mode */
int RunFloorWindow(void);

/* guard_bench.cpp */
int BenchGuard(void);

/* coinstaller_bench.cpp */
int BenchCoinstaller(void);

#endif /* BENCH_H */
