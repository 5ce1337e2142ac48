/*
 * What the soak test and its client processes share through a named file
 * mapping: a stop flag, and for every client thread the port it holds now and
 * the port it is blocked waiting for. A thread marks a port as held only after
 * its wait has returned and clears the mark before it releases the mutex, so
 * a mark seen while the guard holds every mutex is a broken invariant.
 */
#ifndef SOAK_SHARED_H
#define SOAK_SHARED_H

#include <windows.h>

#define SOAK_MAX_THREADS 16
#define SOAK_MAX_PORTS 64

struct SoakShared {
    volatile LONG stop;
    volatile LONG threadsReady;
    volatile LONG holding[SOAK_MAX_THREADS];   /* port index + 1, 0: none */
    volatile LONG waiting[SOAK_MAX_THREADS];   /* port index + 1 of a blocked wait, 0: none */
    volatile LONG acquisitions;                /* mutexes taken by all clients */
    volatile LONG failures;                    /* waits that failed or timed out */
    ULONG_PTR portBase;
    LONG portCount;
    wchar_t namePrefix[64];                    /* "Global\<TAG>.HardwareAccess." */
};

#endif /* SOAK_SHARED_H */
