/*
 * The clock and the bench's results: one line per measured round on standard
 * output (notes and errors are notices).
 */
#include "bench.h"

static LARGE_INTEGER g_frequency;

void StartClock(void)
{
    QueryPerformanceFrequency(&g_frequency);
}

LONGLONG Now(void)
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

double MicrosecondsSince(LONGLONG start)
{
    return (double)(Now() - start) * 1e6 / (double)g_frequency.QuadPart;
}

void PrintRound(const wchar_t *group, int x, const wchar_t *side, int round, double us)
{
    Say(L"ROUND %ls %d %ls %d %.3f", group, x, side, round, us);
}
