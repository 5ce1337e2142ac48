/*
 * The table of registered ports: a singly linked list, newest entry first,
 * owned by the window thread. Whoever removes an entry closes its mutex
 * handle first; the table itself never closes handles.
 */
#include <stdlib.h>
#include "power_guard.h"

PortTable g_portTable;

void ResetPortTable(void)
{
    g_portTable.head = NULL;
    g_portTable.count = 0;
}

/* Frees every entry, head to end; the handles must be closed already. */
void FreePortTable(void)
{
    PortEntry *entry = g_portTable.head;
    while (entry) {
        PortEntry *next = entry->next;
        free(entry);
        entry = next;
    }
    ResetPortTable();
}

void AddPort(ULONG_PTR hPort, HANDLE hMutex)
{
    PortEntry *entry = (PortEntry *)malloc(sizeof(PortEntry));
    if (!entry)
        return;
    entry->hPort = hPort;
    entry->hMutex = hMutex;
    entry->next = g_portTable.count == 0 ? NULL : g_portTable.head;
    g_portTable.head = entry;
    g_portTable.count++;
}

PortEntry *FindPort(ULONG_PTR hPort)
{
    for (PortEntry *entry = g_portTable.head; entry; entry = entry->next)
        if (entry->hPort == hPort)
            return entry;
    return NULL;
}

HRESULT GetPortAt(int position, ULONG_PTR *phPort, HANDLE *phMutex)
{
    PortEntry *entry = g_portTable.head;

    if (g_portTable.count == 0 || !entry || position >= g_portTable.count)
        return STATUS_NOT_FOUND_HR;
    for (int i = 0; i < position && entry->next; i++)
        entry = entry->next;
    *phPort = entry->hPort;
    *phMutex = entry->hMutex;
    return 0;
}

HRESULT RemovePort(ULONG_PTR hPort)
{
    PortEntry *match;

    if (!g_portTable.head)
        return STATUS_NOT_FOUND_HR;
    if (g_portTable.head->hPort == hPort) {
        match = g_portTable.head;
        g_portTable.head = match->next;
    } else {
        PortEntry *before = g_portTable.head;
        while (before->next && before->next->hPort != hPort)
            before = before->next;
        match = before->next;
        if (!match)
            return STATUS_NOT_FOUND_HR;
        before->next = match->next;
    }
    free(match);
    g_portTable.count--;
    return 0;
}

void Dump(const wchar_t *name)
{
    ULONG_PTR hPort;
    HANDLE hMutex;

    DebugTrace(TAG L"%s : Dump() : %d Item(s)\n", name, g_portTable.count);
    for (int i = 0; i < g_portTable.count; i++) {
        if (GetPortAt(i, &hPort, &hMutex) != 0)
            break;
        DebugTrace(TAG L"[%d] hPort = %016Ix, hMutex = %016Ix\n", i, hPort, (ULONG_PTR)hMutex);
    }
}
