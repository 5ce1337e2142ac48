/*
 * The system handle list, read in one call with a buffer that grows until
 * the list fits, then filtered by process id.
 */
#include "handle_count.h"

#include <stddef.h>
#include <stdio.h>
#include <string>

namespace {

const int kSystemExtendedHandleInformation = 64;
const LONG kStatusInfoLengthMismatch = (LONG)0xC0000004;

struct HandleEntry {
    void *object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};

struct HandleList {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

typedef LONG (WINAPI *QuerySystemInformation)(int, void *, ULONG, ULONG *);

}  // namespace

bool ListProcessHandles(DWORD pid, std::vector<OpenHandle> *handles, LONG *status)
{
    QuerySystemInformation query = (QuerySystemInformation)(void *)GetProcAddress(
        GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    handles->clear();
    if (status)
        *status = 0;
    if (!query)
        return false;

    std::vector<BYTE> buffer(1 << 16);
    LONG rc = kStatusInfoLengthMismatch;
    for (int attempt = 0; attempt < 16; attempt++) {
        ULONG needed = 0;
        rc = query(kSystemExtendedHandleInformation, buffer.data(), (ULONG)buffer.size(), &needed);
        if (rc != kStatusInfoLengthMismatch)
            break;
        /* The list may grow between two calls: ask for more than was said. */
        size_t next = needed > buffer.size() ? (size_t)needed + 4096 : buffer.size() * 2;
        buffer.assign(next, 0);
    }
    if (status)
        *status = rc;
    if (rc < 0)
        return false;

    const HandleList *list = (const HandleList *)buffer.data();
    size_t room = (buffer.size() - offsetof(HandleList, entries)) / sizeof(HandleEntry);
    size_t count = list->count < room ? (size_t)list->count : room;
    for (size_t i = 0; i < count; i++) {
        const HandleEntry &e = list->entries[i];
        if (e.processId != pid)
            continue;
        OpenHandle h;
        h.value = e.handleValue;
        h.objectType = e.objectTypeIndex;
        h.grantedAccess = e.grantedAccess;
        handles->push_back(h);
    }
    return true;
}

long CountProcessHandles(DWORD pid)
{
    std::vector<OpenHandle> handles;
    if (!ListProcessHandles(pid, &handles))
        return -1;
    return (long)handles.size();
}

static bool Contains(const std::vector<OpenHandle> &list, const OpenHandle &h)
{
    for (const OpenHandle &x : list)
        if (x.value == h.value && x.objectType == h.objectType)
            return true;
    return false;
}

std::string DescribeHandleChange(const std::vector<OpenHandle> &before, const std::vector<OpenHandle> &after)
{
    std::string out;
    char line[96];
    for (const OpenHandle &h : after)
        if (!Contains(before, h)) {
            snprintf(line, sizeof(line), "new handle 0x%llx (type %u, access 0x%lx)\n",
                     (unsigned long long)h.value, (unsigned)h.objectType, (unsigned long)h.grantedAccess);
            out += line;
        }
    for (const OpenHandle &h : before)
        if (!Contains(after, h)) {
            snprintf(line, sizeof(line), "closed handle 0x%llx (type %u)\n",
                     (unsigned long long)h.value, (unsigned)h.objectType);
            out += line;
        }
    return out;
}
