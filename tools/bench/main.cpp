/*
 * bench: the guard and the co-installer measured against the platform floor.
 *
 *   bench [--part guard|coinstaller|all] [--dist <dir>] [--rounds <n>] [--repeats <n>]
 *         [--tag <guard tag>] [--coinstaller-tag <tag>] [--quick]
 *   bench --floor-window        (started by the bench itself)
 *
 * Prints one "ROUND <group> <x> <side> <round> <us>" line per timed round on
 * standard output; run_bench.sh turns them into the table, the JSON file and
 * the plot. Run it pinned to one processor together with the wineserver.
 *
 * Exit codes: 0 done, 1 bad command line, 2 a measurement could not be made.
 */
#include <stdlib.h>
#include <wchar.h>
#include "bench.h"

const wchar_t g_programName[] = L"bench";
BenchOptions g_bench;

static const wchar_t kUsage[] =
    L"usage: bench [--part guard|coinstaller|all] [--dist <dir>] [--rounds <n>] [--repeats <n>]\n"
    L"             [--tag <guard tag>] [--coinstaller-tag <tag>] [--quick]\n"
    L"  --part      what to measure (default all)\n"
    L"  --dist      folder of the deliverables (default: <bench folder>\\..\\dist)\n"
    L"  --rounds    interleaved rounds per figure (default 15, at most 1000)\n"
    L"  --repeats   operations timed together in one guard round (default 20)\n"
    L"  --quick     co-installer: only the smaller sizes\n";

static BOOL Is(const wchar_t *a, const wchar_t *b)
{
    return wcscmp(a, b) == 0;
}

static BOOL ParseCount(const wchar_t *text, int low, int high, int *value)
{
    wchar_t *end = NULL;
    long n = wcstol(text, &end, 10);
    if (!*text || *end || n < low || n > high)
        return FALSE;
    *value = (int)n;
    return TRUE;
}

/* <bench folder>\..\dist: the build's layout (tools\ and dist\ side by side). */
static void DefaultDist(void)
{
    wchar_t *cut;
    lstrcpynW(g_bench.distDir, g_bench.self, BENCH_PATH_UNITS);
    cut = wcsrchr(g_bench.distDir, L'\\');
    if (cut)
        *cut = L'\0';
    cut = wcsrchr(g_bench.distDir, L'\\');
    if (cut)
        *cut = L'\0';
    if (wcslen(g_bench.distDir) + 6 < BENCH_PATH_UNITS)
        wcscat(g_bench.distDir, L"\\dist");
}

static int Usage(const wchar_t *format, const wchar_t *text)
{
    Notice(format, text);
    PutText(GetStdHandle(STD_ERROR_HANDLE), kUsage);
    return BENCH_USAGE;
}

int wmain(int argc, wchar_t **argv)
{
    int status = BENCH_OK;

    ZeroMemory(&g_bench, sizeof(g_bench));
    GetModuleFileNameW(NULL, g_bench.self, BENCH_PATH_UNITS);
    g_bench.tag = L"TAVRIKEN";
    g_bench.coinstallerTag = L"HELDRAVO";
    g_bench.part = L"all";
    g_bench.rounds = 15;
    g_bench.repeats = 20;
    DefaultDist();

    for (int i = 1; i < argc; i++) {
        const wchar_t *option = argv[i];
        if (Is(option, L"--floor-window"))
            return RunFloorWindow();
        if (Is(option, L"--quick")) {
            g_bench.quick = TRUE;
            continue;
        }
        if (Is(option, L"--help")) {
            PutText(GetStdHandle(STD_OUTPUT_HANDLE), kUsage);
            return BENCH_OK;
        }
        if (i + 1 >= argc)
            return Usage(L"error: %ls needs a value", option);
        const wchar_t *value = argv[++i];
        if (Is(option, L"--part")) {
            if (!Is(value, L"guard") && !Is(value, L"coinstaller") && !Is(value, L"all"))
                return Usage(L"error: bad part: %ls", value);
            g_bench.part = value;
        } else if (Is(option, L"--dist")) {
            lstrcpynW(g_bench.distDir, value, BENCH_PATH_UNITS);
        } else if (Is(option, L"--tag")) {
            g_bench.tag = value;
        } else if (Is(option, L"--coinstaller-tag")) {
            g_bench.coinstallerTag = value;
        } else if (Is(option, L"--rounds")) {
            if (!ParseCount(value, 1, BENCH_MAX_ROUNDS, &g_bench.rounds))
                return Usage(L"error: bad round count: %ls", value);
        } else if (Is(option, L"--repeats")) {
            if (!ParseCount(value, 1, 10000, &g_bench.repeats))
                return Usage(L"error: bad repeat count: %ls", value);
        } else {
            return Usage(L"error: unknown option: %ls", option);
        }
    }

    StartClock();
    if (Is(g_bench.part, L"guard") || Is(g_bench.part, L"all"))
        status = BenchGuard();
    if (status == BENCH_OK && (Is(g_bench.part, L"coinstaller") || Is(g_bench.part, L"all")))
        status = BenchCoinstaller();
    return status;
}
