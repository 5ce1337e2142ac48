/*
 * The power guard's test-only seams (see guard_seams.h).
 */
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "guard_seams.h"

#undef GetVersionExW
#undef InitializeSecurityDescriptor
#undef SetSecurityDescriptorDacl
#undef malloc
#undef GetProcAddress

GuardSeams g_guardSeams;

void ResetGuardSeams(void)
{
    memset(&g_guardSeams, 0, sizeof(g_guardSeams));
}

BOOL WINAPI SeamGetVersionExW(LPOSVERSIONINFOW info)
{
    int call = g_guardSeams.versionCalls++;
    if (call < 8)
        g_guardSeams.versionSizes[call] = info->dwOSVersionInfoSize;
    if (g_guardSeams.versionFailures < 0 || call < g_guardSeams.versionFailures) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (g_guardSeams.fakeVersion) {
        info->dwPlatformId = g_guardSeams.fakePlatformId;
        info->dwMajorVersion = g_guardSeams.fakeMajor;
        info->dwMinorVersion = g_guardSeams.fakeMinor;
        return TRUE;
    }
    return GetVersionExW(info);
}

BOOL WINAPI SeamInitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision)
{
    if (g_guardSeams.initSecurityError) {
        SetLastError(g_guardSeams.initSecurityError);
        return FALSE;
    }
    return InitializeSecurityDescriptor(sd, revision);
}

BOOL WINAPI SeamSetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted)
{
    if (g_guardSeams.setDaclError) {
        SetLastError(g_guardSeams.setDaclError);
        return FALSE;
    }
    return SetSecurityDescriptorDacl(sd, present, dacl, defaulted);
}

void *SeamMalloc(size_t size)
{
    int call = ++g_guardSeams.mallocCalls;
    if (g_guardSeams.mallocFailFrom > 0 && call >= g_guardSeams.mallocFailFrom)
        return NULL;
    return malloc(size);
}

typedef HANDLE (WINAPI *RegisterSuspendResumeProc)(HANDLE recipient, DWORD flags);
static RegisterSuspendResumeProc g_realRegisterSuspendResume;

/* Records the call, then fails it or lets the real one answer. */
static HANDLE WINAPI SeamRegisterSuspendResumeNotification(HANDLE recipient, DWORD flags)
{
    g_guardSeams.suspendRegistrations++;
    g_guardSeams.suspendRecipient = recipient;
    g_guardSeams.suspendFlags = flags;
    if (g_guardSeams.suspendRegistrationError) {
        SetLastError(g_guardSeams.suspendRegistrationError);
        return NULL;
    }
    return g_realRegisterSuspendResume(recipient, flags);
}

FARPROC WINAPI SeamGetProcAddress(HMODULE module, LPCSTR name)
{
    FARPROC real = GetProcAddress(module, name);
    if (real && !IS_INTRESOURCE(name) && strcmp(name, "RegisterSuspendResumeNotification") == 0) {
        g_realRegisterSuspendResume = (RegisterSuspendResumeProc)(void *)real;
        return (FARPROC)(void *)SeamRegisterSuspendResumeNotification;
    }
    return real;
}
