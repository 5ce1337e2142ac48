/*
 * Probes of named mutexes from threads of the test (see mutex_probe.h).
 */
#include "mutex_probe.h"

#include <stdio.h>

namespace {

/* Extra time a probe thread gets beyond its own wait before it is given up. */
const DWORD kThreadSlackMs = 10000;

struct Probe {
    std::wstring name;
    HANDLE mutex = NULL;      /* used when name is empty */
    DWORD timeoutMs = 0;
    DWORD result = kProbeNoObject;
    DWORD openError = 0;
};

DWORD WINAPI ProbeThread(void *param)
{
    Probe *p = (Probe *)param;
    HANDLE h = p->mutex;
    if (!h) {
        h = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, p->name.c_str());
        if (!h) {
            p->openError = GetLastError();
            p->result = kProbeNoObject;
            return 0;
        }
    }
    p->result = WaitForSingleObject(h, p->timeoutMs);
    if (p->result == WAIT_OBJECT_0 || p->result == WAIT_ABANDONED)
        ReleaseMutex(h);
    if (!p->mutex)
        CloseHandle(h);
    return 0;
}

/* Runs the probe; false when its thread did not finish in time (it then
   keeps its record, which is not freed). */
bool RunProbe(Probe *p)
{
    HANDLE thread = CreateThread(NULL, 0, ProbeThread, p, 0, NULL);
    if (!thread) {
        p->result = WAIT_FAILED;
        return true;
    }
    if (WaitForSingleObject(thread, p->timeoutMs + kThreadSlackMs) != WAIT_OBJECT_0) {
        fprintf(stderr, "[probe] the probe thread did not finish in time\n");
        CloseHandle(thread);
        return false;
    }
    CloseHandle(thread);
    return true;
}

}  // namespace

DWORD WaitFromOtherThread(const std::wstring &name, DWORD timeoutMs, DWORD *openError)
{
    Probe *p = new Probe;
    p->name = name;
    p->timeoutMs = timeoutMs;
    if (!RunProbe(p))
        return WAIT_FAILED;
    DWORD result = p->result;
    if (openError)
        *openError = p->openError;
    delete p;
    return result;
}

DWORD WaitHandleFromOtherThread(HANDLE mutex, DWORD timeoutMs)
{
    Probe *p = new Probe;
    p->mutex = mutex;
    p->timeoutMs = timeoutMs;
    if (!RunProbe(p))
        return WAIT_FAILED;
    DWORD result = p->result;
    delete p;
    return result;
}

bool NamedMutexExists(const std::wstring &name, DWORD *error)
{
    HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    if (!h) {
        if (error)
            *error = GetLastError();
        return false;
    }
    CloseHandle(h);
    return true;
}

bool NamedEventExists(const std::wstring &name, DWORD *error)
{
    HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
    if (!h) {
        if (error)
            *error = GetLastError();
        return false;
    }
    CloseHandle(h);
    return true;
}

bool HasNullDacl(HANDLE object, std::string *why)
{
    DWORD needed = 0;
    GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, NULL, 0, &needed);
    if (needed == 0) {
        *why = "GetKernelObjectSecurity gave no size, error " + std::to_string(GetLastError());
        return false;
    }
    std::string buffer(needed, '\0');
    if (!GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, (PSECURITY_DESCRIPTOR)&buffer[0],
                                 needed, &needed)) {
        *why = "GetKernelObjectSecurity failed, error " + std::to_string(GetLastError());
        return false;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    if (!GetSecurityDescriptorDacl((PSECURITY_DESCRIPTOR)&buffer[0], &present, &dacl, &defaulted)) {
        *why = "GetSecurityDescriptorDacl failed, error " + std::to_string(GetLastError());
        return false;
    }
    if (!present) {
        *why = "no DACL present";
        return false;
    }
    if (dacl) {
        *why = "a DACL with " + std::to_string(dacl->AceCount) + " entries";
        return false;
    }
    *why = "a null DACL";
    return true;
}

long ObjectHandleCount(HANDLE object)
{
    struct BasicInformation {
        ULONG Attributes;
        ACCESS_MASK GrantedAccess;
        ULONG HandleCount;
        ULONG PointerCount;
        ULONG Reserved[10];
    } info = {};
    typedef LONG (WINAPI *QueryObject)(HANDLE, int, void *, ULONG, ULONG *);
    QueryObject query = (QueryObject)(void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject");
    if (!query)
        return -1;
    ULONG got = 0;
    if (query(object, 0 /* ObjectBasicInformation */, &info, sizeof(info), &got) < 0)
        return -1;
    return (long)info.HandleCount;
}

struct MutexHolder {
    std::wstring name;
    DWORD timeoutMs = 0;
    bool abandon = false;
    HANDLE taken = NULL;      /* manual: the wait is over (see ok) */
    HANDLE release = NULL;    /* manual: let go */
    HANDLE thread = NULL;
    bool ok = false;
};

/* The longest a holder keeps a mutex when nobody tells it to let go. */
static const DWORD kHolderLimitMs = 120000;

static DWORD WINAPI HolderThread(void *param)
{
    MutexHolder *m = (MutexHolder *)param;
    HANDLE h = CreateMutexW(NULL, FALSE, m->name.c_str());
    DWORD r = h ? WaitForSingleObject(h, m->timeoutMs) : WAIT_FAILED;
    m->ok = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    SetEvent(m->taken);
    if (m->ok && !m->abandon) {
        WaitForSingleObject(m->release, kHolderLimitMs);
        ReleaseMutex(h);
    }
    if (h)
        CloseHandle(h);
    return 0;
}

static MutexHolder *StartHolder(const std::wstring &name, DWORD timeoutMs, bool abandon)
{
    MutexHolder *m = new MutexHolder;
    m->name = name;
    m->timeoutMs = timeoutMs;
    m->abandon = abandon;
    m->taken = CreateEventW(NULL, TRUE, FALSE, NULL);
    m->release = CreateEventW(NULL, TRUE, FALSE, NULL);
    m->thread = CreateThread(NULL, 0, HolderThread, m, 0, NULL);
    if (!m->thread || WaitForSingleObject(m->taken, timeoutMs + kThreadSlackMs) != WAIT_OBJECT_0)
        m->ok = false;
    return m;
}

static void FreeHolder(MutexHolder *m)
{
    SetEvent(m->release);
    if (m->thread) {
        if (WaitForSingleObject(m->thread, kThreadSlackMs) != WAIT_OBJECT_0) {
            fprintf(stderr, "[probe] a holder thread did not end in time\n");
            return;   /* leave its record to it */
        }
        CloseHandle(m->thread);
    }
    CloseHandle(m->taken);
    CloseHandle(m->release);
    delete m;
}

MutexHolder *HoldOnOtherThread(const std::wstring &name, DWORD timeoutMs)
{
    MutexHolder *m = StartHolder(name, timeoutMs, false);
    if (!m->ok) {
        FreeHolder(m);
        return nullptr;
    }
    return m;
}

void ReleaseHolder(MutexHolder *holder)
{
    if (holder)
        FreeHolder(holder);
}

bool AbandonOnOtherThread(const std::wstring &name, DWORD timeoutMs)
{
    MutexHolder *m = StartHolder(name, timeoutMs, true);
    bool ok = m->ok;
    FreeHolder(m);   /* waits for the thread's end, which abandons the mutex */
    return ok;
}

LARGE_INTEGER TimeNow(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

double MillisecondsSince(LARGE_INTEGER start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (double)(now.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart;
}
