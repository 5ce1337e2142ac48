/*
 * The port client interface header as a port client written in C sees it:
 * nothing included but <windows.h> and the header itself. The routines hand
 * its values to the C++ test of the port client.
 */
#include <windows.h>
#include <stdio.h>
#include "port_client.h"

unsigned HeaderRegisterMessage(void) { return WM_POWREGISTER; }
unsigned HeaderUnregisterMessage(void) { return WM_POWUNREGISTER; }
const wchar_t *HeaderGlobalPrefix(void) { return POWER_GUARD_GLOBAL_PREFIX; }
const wchar_t *HeaderMutexInfix(void) { return POWER_GUARD_MUTEX_INFIX; }
const wchar_t *HeaderTavriken(void) { return POWER_GUARD_TAG_TAVRIKEN; }

/* A mutex name made with the header's format, as a C client would make it. */
void HeaderFormatMutexName(wchar_t *buffer, size_t units, const wchar_t *prefix, const wchar_t *tag,
                           ULONG_PTR hPort)
{
    wchar_t tagAndInfix[64];
    _snwprintf(tagAndInfix, 63, L"%ls%ls", tag, POWER_GUARD_MUTEX_INFIX);
    tagAndInfix[63] = L'\0';
    _snwprintf(buffer, units - 1, POWER_GUARD_MUTEX_NAME_FORMAT, prefix, tagAndInfix, hPort);
    buffer[units - 1] = L'\0';
}
