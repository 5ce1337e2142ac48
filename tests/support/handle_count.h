/*
 * Test support: the handles a process has open, as the system's handle list
 * shows them (NtQuerySystemInformation, SystemExtendedHandleInformation).
 * GetProcessHandleCount is not used: Wine 8 answers 0 for every process.
 */
#ifndef HANDLE_COUNT_H
#define HANDLE_COUNT_H

#include <windows.h>
#include <string>
#include <vector>

struct OpenHandle {
    ULONG_PTR value;          /* the handle as the process sees it */
    USHORT objectType;        /* the system's object type index */
    ULONG grantedAccess;
};

/* Every handle of process pid, in the system's order. False when the list
   could not be had (the reason in *status, an NTSTATUS, when given). */
bool ListProcessHandles(DWORD pid, std::vector<OpenHandle> *handles, LONG *status = nullptr);

/* How many handles process pid has open; -1 when the list could not be had. */
long CountProcessHandles(DWORD pid);

/* The handles in after that are not in before, and those gone, by value and
   type, for a failure message. */
std::string DescribeHandleChange(const std::vector<OpenHandle> &before, const std::vector<OpenHandle> &after);

#endif /* HANDLE_COUNT_H */
