/*
 * Test support: looking at named mutexes from outside their owner. Whether a
 * mutex is held is seen by waiting for it on a thread of the test's own (the
 * owner's thread would simply take it again), and whether an object still
 * exists by opening its name.
 */
#ifndef MUTEX_PROBE_H
#define MUTEX_PROBE_H

#include <windows.h>
#include <string>

/* The result of a probe whose name could not be opened. */
const DWORD kProbeNoObject = 0xFFFFFFFEu;

/* Opens name on a new thread and waits up to timeoutMs for it; whatever the
   thread obtains it releases again. WAIT_OBJECT_0 or WAIT_ABANDONED: the mutex
   was free; WAIT_TIMEOUT: someone holds it; kProbeNoObject: no such mutex
   (the open error in *openError). */
DWORD WaitFromOtherThread(const std::wstring &name, DWORD timeoutMs, DWORD *openError = nullptr);

/* The same for a handle of this process. */
DWORD WaitHandleFromOtherThread(HANDLE mutex, DWORD timeoutMs);

/* Whether a mutex or an event of that name can be opened now (*error: why not). */
bool NamedMutexExists(const std::wstring &name, DWORD *error = nullptr);
bool NamedEventExists(const std::wstring &name, DWORD *error = nullptr);

/* Whether the object's security descriptor, as GetKernelObjectSecurity gives
   it, has a DACL that is present and null (anyone may open it). *why tells
   what was found. */
bool HasNullDacl(HANDLE object, std::string *why);

/* How many handles refer to the object behind this handle, in every process
   (this one included); -1 when the platform does not say. */
long ObjectHandleCount(HANDLE object);

/* How much sooner than its time-out a timed wait may end, as measured with
   QueryPerformanceCounter: Windows ends such a wait at a clock interrupt and
   counts its time-out from an interrupt time that may be up to one tick
   (15.6 ms by default) old, so the wait can be short by up to one tick. A
   test that a wait was made allows this much and no more. */
const double kWaitTickSlackMs = 16.0;

/* A monotonic point in time, and the milliseconds from it to now. */
LARGE_INTEGER TimeNow(void);
double MillisecondsSince(LARGE_INTEGER start);

/* A thread of the test that holds a named mutex until told to let go. */
struct MutexHolder;

/* Takes the mutex (waiting up to timeoutMs); NULL when it could not. */
MutexHolder *HoldOnOtherThread(const std::wstring &name, DWORD timeoutMs);
/* Releases it and ends the thread. */
void ReleaseHolder(MutexHolder *holder);

/* Takes the mutex on a new thread that then ends without releasing it, so the
   mutex is abandoned. False when the thread could not take it in time. */
bool AbandonOnOtherThread(const std::wstring &name, DWORD timeoutMs);

#endif /* MUTEX_PROBE_H */
