/*
 * Unit-test build of the power guard only: the platform calls that cannot be
 * made to fail on demand (the version calls, the security-descriptor calls,
 * the C heap, the suspend and resume registration) go through these routines,
 * which pass through to the real ones unless a test has asked for a failure
 * or a faked result.
 */
#ifndef GUARD_SEAMS_H
#define GUARD_SEAMS_H

#include <windows.h>
#include <stddef.h>

struct GuardSeams {
    /* GetVersionExW */
    int versionFailures;        /* fail this many calls, then pass; -1: fail all */
    int versionCalls;
    DWORD versionSizes[8];      /* the size fields of the first calls */
    bool fakeVersion;           /* succeed with the values below */
    DWORD fakePlatformId, fakeMajor, fakeMinor;
    /* security descriptor: 0 passes through, else fail with this error */
    DWORD initSecurityError;
    DWORD setDaclError;
    /* malloc: fail the calls numbered from mallocFailFrom on (1-based, 0: never) */
    int mallocCalls;
    int mallocFailFrom;
    /* RegisterSuspendResumeNotification, as GetProcAddress hands it out */
    int suspendRegistrations;
    HANDLE suspendRecipient;
    DWORD suspendFlags;
    DWORD suspendRegistrationError;   /* 0 passes through, else fail with this error */
};

extern GuardSeams g_guardSeams;
void ResetGuardSeams(void);

BOOL WINAPI SeamGetVersionExW(LPOSVERSIONINFOW info);
BOOL WINAPI SeamInitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision);
BOOL WINAPI SeamSetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted);
void *SeamMalloc(size_t size);
FARPROC WINAPI SeamGetProcAddress(HMODULE module, LPCSTR name);

#define GetVersionExW SeamGetVersionExW
#define InitializeSecurityDescriptor SeamInitializeSecurityDescriptor
#define SetSecurityDescriptorDacl SeamSetSecurityDescriptorDacl
#define malloc SeamMalloc
#define GetProcAddress SeamGetProcAddress

#endif /* GUARD_SEAMS_H */
