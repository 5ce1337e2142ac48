/*
 * The security the channel objects are made with. Writers run under any
 * account: in session 0 SYSTEM, LocalService, NetworkService or a service's
 * own account, in a session its user, elevated or not. Every account gets
 * exactly what a writer opens each object for (kWriterRights), and nothing
 * else, so no other account can wait for the data or let writers in, which is
 * what listening takes, nor change the objects' security. (A writer that maps
 * the buffer can read what is in it at that moment; that is the protocol's.)
 * The viewer's own user owns them and alone has full access. The owner is set to the user
 * explicitly: an elevated token would otherwise make the Administrators
 * group the owner, and so every administrator.
 */
#include "viewer.h"
#include <sddl.h>
#include <stdio.h>

/* Full access for the owner, per object. */
static const DWORD kOwnerRights[OBJECT_COUNT] = { EVENT_ALL_ACCESS, EVENT_ALL_ACCESS, SECTION_ALL_ACCESS };

/* The process's user as an SDDL SID string; LocalFree it. */
static wchar_t *UserSidText(void)
{
    HANDLE token = NULL;
    BYTE buffer[256];
    DWORD cb = 0;
    wchar_t *text = NULL;

    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &cb))
        ConvertSidToStringSidW(((TOKEN_USER *)buffer)->User.Sid, &text);
    if (token != NULL)
        CloseHandle(token);
    return text;
}

PSECURITY_DESCRIPTOR MakeChannelSecurity(int object)
{
    PSECURITY_DESCRIPTOR sd = NULL;
    wchar_t sddl[512];
    wchar_t *user = UserSidText();

    if (user == NULL) {
        Notice(L"cannot read this process's user (error %lu)", GetLastError());
        return NULL;
    }
    /* Owner the user; protected DACL: the user all, everyone (WD) a writer's rights. */
    _snwprintf(sddl, 511, L"O:%lsD:P(A;;0x%lx;;;%ls)(A;;0x%lx;;;WD)", user,
               (unsigned long)kOwnerRights[object], user, (unsigned long)kWriterRights[object]);
    sddl[511] = L'\0';
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, NULL)) {
        Notice(L"cannot make the channel's security descriptor %ls (error %lu)", sddl, GetLastError());
        sd = NULL;
    }
    LocalFree(user);
    return sd;
}
