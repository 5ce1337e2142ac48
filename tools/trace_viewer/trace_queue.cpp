/*
 * The hand-over of trace records from the receiver thread to the main
 * thread: a list appended at the tail and taken whole, so the receiver holds
 * the lock only for two pointer moves.
 */
#include <stdlib.h>
#include "viewer.h"

static CRITICAL_SECTION g_queueLock;
static TraceRecord *g_pHead = NULL;
static TraceRecord *g_pTail = NULL;
static HANDLE g_hQueued = NULL;

BOOL InitQueue(void)
{
    InitializeCriticalSection(&g_queueLock);
    g_hQueued = CreateEventW(NULL, FALSE, FALSE, NULL);
    return g_hQueued != NULL;
}

void PushRecord(TraceRecord *record)
{
    record->next = NULL;
    EnterCriticalSection(&g_queueLock);
    if (g_pTail)
        g_pTail->next = record;
    else
        g_pHead = record;
    g_pTail = record;
    LeaveCriticalSection(&g_queueLock);
    SetEvent(g_hQueued);
}

TraceRecord *TakeRecords(void)
{
    TraceRecord *list;
    EnterCriticalSection(&g_queueLock);
    list = g_pHead;
    g_pHead = g_pTail = NULL;
    LeaveCriticalSection(&g_queueLock);
    return list;
}

HANDLE QueueEvent(void)
{
    return g_hQueued;
}

void FreeRecords(TraceRecord *list)
{
    while (list) {
        TraceRecord *next = list->next;
        free(list);
        list = next;
    }
}
