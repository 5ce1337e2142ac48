/*
 * Security for the guard's named objects: a descriptor with a null DACL, so
 * that the port client may open them from any account (and with full access,
 * as CreateMutexW asks for).
 */
#include "power_guard.h"

/* Returns the attributes to create with, or NULL (default security) after a
   traced failure. The format strings carry the caller's name. */
SECURITY_ATTRIBUTES *PrepareOpenSecurity(SECURITY_DESCRIPTOR *sd, SECURITY_ATTRIBUTES *sa,
                                         const wchar_t *fmtInitFailed,
                                         const wchar_t *fmtDaclFailed,
                                         const wchar_t *fmtSuccess)
{
    if (!InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION)) {
        DebugTrace(fmtInitFailed, GetLastError());
        return NULL;
    }
    if (!SetSecurityDescriptorDacl(sd, TRUE, NULL, FALSE)) {
        DebugTrace(fmtDaclFailed, GetLastError());
        return NULL;
    }
    sa->nLength = sizeof(*sa);
    sa->lpSecurityDescriptor = sd;
    sa->bInheritHandle = FALSE;
    DebugTrace(fmtSuccess);
    return sa;
}
