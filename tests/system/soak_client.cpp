/*
 * soak_client: a port client for the soak test. Its threads take random
 * ports' hardware-access mutexes, hold each briefly as a hardware access
 * would, and mark in the shared mapping what they hold and what they wait for.
 *
 *   soak_client <mapping name> <first slot> <threads> <seed>
 *
 * Exit code 0 when every wait succeeded, 1 on a bad command line or missing
 * mapping, 2 when a wait failed or a mutex could not be opened.
 */
#include <stdio.h>
#include <stdlib.h>
#include "soak_shared.h"

struct ClientThread {
    SoakShared *shared;
    int slot;
    unsigned long long seed;
    int status;
};

static unsigned long long NextRandom(unsigned long long *state)
{
    unsigned long long x = *state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    *state = x;
    return x;
}

static DWORD WINAPI ClientLoop(void *param)
{
    ClientThread *t = (ClientThread *)param;
    SoakShared *s = t->shared;
    HANDLE mutexes[SOAK_MAX_PORTS];
    wchar_t name[128];

    for (LONG i = 0; i < s->portCount; i++) {
        _snwprintf(name, 127, L"%ls%016llx", s->namePrefix, (unsigned long long)(s->portBase + i));
        name[127] = L'\0';
        mutexes[i] = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
        if (!mutexes[i]) {
            fwprintf(stderr, L"soak_client: cannot open %ls (error %lu)\n", name, GetLastError());
            t->status = 2;
            return 0;
        }
    }
    InterlockedIncrement(&s->threadsReady);

    while (!s->stop) {
        LONG port = (LONG)(NextRandom(&t->seed) % (unsigned long long)s->portCount);
        DWORD r = WaitForSingleObject(mutexes[port], 0);
        if (r == WAIT_TIMEOUT) {
            InterlockedExchange(&s->waiting[t->slot], port + 1);
            r = WaitForSingleObject(mutexes[port], 10000);
            InterlockedExchange(&s->waiting[t->slot], 0);
        }
        if (r != WAIT_OBJECT_0) {
            InterlockedIncrement(&s->failures);
            t->status = 2;
            if (r == WAIT_TIMEOUT)
                continue;
            break;
        }
        InterlockedIncrement(&s->acquisitions);
        InterlockedExchange(&s->holding[t->slot], port + 1);
        /* The access: mostly a few microseconds, sometimes a scheduler slice. */
        unsigned long long how = NextRandom(&t->seed) % 8;
        if (how == 0)
            Sleep(1);
        else if (how < 3)
            Sleep(0);
        else
            for (volatile int spin = 0; spin < (int)(how * 200); spin++)
                ;
        InterlockedExchange(&s->holding[t->slot], 0);
        if (!ReleaseMutex(mutexes[port])) {
            InterlockedIncrement(&s->failures);
            t->status = 2;
            break;
        }
        Sleep(1);
    }
    for (LONG i = 0; i < s->portCount; i++)
        CloseHandle(mutexes[i]);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    ClientThread threads[SOAK_MAX_THREADS];
    HANDLE handles[SOAK_MAX_THREADS];
    HANDLE mapping;
    SoakShared *shared;
    int first, count, status = 0;

    if (argc != 5) {
        fputs("usage: soak_client <mapping name> <first slot> <threads> <seed>\n", stderr);
        return 1;
    }
    first = _wtoi(argv[2]);
    count = _wtoi(argv[3]);
    if (first < 0 || count < 1 || first + count > SOAK_MAX_THREADS)
        return 1;
    mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, argv[1]);
    if (!mapping)
        return 1;
    shared = (SoakShared *)MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SoakShared));
    if (!shared)
        return 1;
    for (int i = 0; i < count; i++) {
        threads[i].shared = shared;
        threads[i].slot = first + i;
        threads[i].seed = _wcstoui64(argv[4], NULL, 10) * 2654435761ull + (unsigned long long)(i + 1);
        threads[i].status = 0;
        handles[i] = CreateThread(NULL, 0, ClientLoop, &threads[i], 0, NULL);
        if (!handles[i])
            return 2;
    }
    /* The test sets stop; a client never outlives it by much. */
    if (WaitForMultipleObjects((DWORD)count, handles, TRUE, 30 * 60 * 1000) != WAIT_OBJECT_0)
        status = 2;
    for (int i = 0; i < count; i++) {
        if (threads[i].status)
            status = threads[i].status;
        CloseHandle(handles[i]);
    }
    UnmapViewOfFile(shared);
    CloseHandle(mapping);
    return status;
}
