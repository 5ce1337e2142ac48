/*
 * The debug-output channels (debug_channel.h), seen from the listening side:
 * the viewer holds this session's and the global one.
 *
 * Each channel has a receiver thread that does nothing but copy: it takes the
 * time, copies the buffer into a record, lets the next writer in and queues
 * the record. All formatting and writing is done on the main thread, so a
 * slow console or file never keeps a writer waiting on either channel.
 */
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include "viewer.h"

struct Channel {
    const wchar_t *description;      /* for notices */
    HANDLE hObjects[OBJECT_COUNT];
    const BYTE *pView;
    HANDLE hReceiver;
};

static Channel g_channels[CHANNEL_COUNT] = {
    { L"this session's channel", { NULL, NULL, NULL }, NULL, NULL },
    { L"the global channel (session 0: services, the device installer)", { NULL, NULL, NULL }, NULL, NULL },
};
static HANDLE g_hStopReceivers = NULL;

/* Traces the receivers could not keep (no memory for the record). */
volatile LONG g_nLostRecords = 0;

/* Whether an object of that name exists, after its creation failed with 5. */
static BOOL ObjectExists(int object, const wchar_t *name)
{
    HANDLE h = object == OBJECT_BUFFER ? OpenFileMappingW(FILE_MAP_READ, FALSE, name)
                                       : OpenEventW(SYNCHRONIZE, FALSE, name);
    BOOL exists = h != NULL || GetLastError() != ERROR_FILE_NOT_FOUND;

    if (h != NULL)
        CloseHandle(h);
    return exists;
}

/* Makes one object of the channel: EXIT_OK, EXIT_CHANNEL_HELD or
   EXIT_FAILED, the latter two after a notice. */
static int MakeObject(int channel, int object)
{
    Channel *c = &g_channels[channel];
    const wchar_t *name = kChannelObjectNames[channel][object];
    SECURITY_ATTRIBUTES sa = { sizeof(sa), NULL, FALSE };
    DWORD error;
    int status = EXIT_OK;

    sa.lpSecurityDescriptor = MakeChannelSecurity(object);
    if (sa.lpSecurityDescriptor == NULL)
        return EXIT_FAILED;
    if (object == OBJECT_BUFFER)
        c->hObjects[object] = CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, CHANNEL_BYTES,
                                                 name);
    else
        c->hObjects[object] = CreateEventW(&sa, FALSE, FALSE, name);
    error = GetLastError();
    if ((c->hObjects[object] != NULL && error == ERROR_ALREADY_EXISTS) ||
        (c->hObjects[object] == NULL && error == ERROR_ACCESS_DENIED && ObjectExists(object, name))) {
        Notice(L"%ls is held by another debug-output viewer (%ls exists); its lines are not shown",
               c->description, name);
        status = EXIT_CHANNEL_HELD;
    } else if (c->hObjects[object] == NULL && error == ERROR_ACCESS_DENIED && object == OBJECT_BUFFER) {
        /* Making a shared buffer in the global namespace from a session
           needs the right to create global objects. */
        Notice(L"%ls cannot be had: this account may not create global objects (%ls, error 5); "
               L"run the viewer as administrator to see its lines", c->description, name);
        status = EXIT_CHANNEL_HELD;
    } else if (c->hObjects[object] == NULL) {
        Notice(L"%ls cannot be had: %ls could not be made (error %lu); its lines are not shown",
               c->description, name, error);
        status = EXIT_FAILED;
    }
    LocalFree(sa.lpSecurityDescriptor);
    return status;
}

static void CloseChannel(Channel *c)
{
    if (c->pView != NULL)
        UnmapViewOfFile(c->pView);
    c->pView = NULL;
    for (int i = 0; i < OBJECT_COUNT; i++) {
        if (c->hObjects[i] != NULL)
            CloseHandle(c->hObjects[i]);
        c->hObjects[i] = NULL;
    }
}

int OpenChannel(int channel)
{
    Channel *c = &g_channels[channel];
    int status = EXIT_OK;

    for (int object = 0; object < OBJECT_COUNT && status == EXIT_OK; object++)
        status = MakeObject(channel, object);
    if (status == EXIT_OK) {
        c->pView = (const BYTE *)MapViewOfFile(c->hObjects[OBJECT_BUFFER], FILE_MAP_READ, 0, 0, CHANNEL_BYTES);
        if (c->pView == NULL) {
            Notice(L"%ls cannot be had: its shared buffer could not be mapped (error %lu)", c->description,
                   GetLastError());
            status = EXIT_FAILED;
        }
    }
    if (status != EXIT_OK)
        CloseChannel(c);
    return status;
}

/* Copies the channel's buffer into a new record; NULL when there is no memory. */
static TraceRecord *CopyBuffer(const Channel *c)
{
    const char *text = (const char *)(c->pView + sizeof(DWORD));
    size_t cb = 0;
    TraceRecord *record;

    while (cb < CHANNEL_TEXT_BYTES - 1 && text[cb] != '\0')
        cb++;
    record = (TraceRecord *)malloc(offsetof(TraceRecord, text) + cb + 1);
    if (record == NULL)
        return NULL;
    GetLocalTime(&record->time);
    record->next = NULL;
    record->channel = (int)(c - g_channels);
    memcpy(&record->dwPid, c->pView, sizeof(DWORD));
    record->cbText = (DWORD)cb;
    memcpy(record->text, text, cb);
    record->text[cb] = '\0';
    return record;
}

static DWORD WINAPI ReceiverThread(void *param)
{
    const Channel *c = (const Channel *)param;
    HANDLE waits[2] = { g_hStopReceivers, c->hObjects[OBJECT_DATA_READY] };

    SetEvent(c->hObjects[OBJECT_BUFFER_READY]);
    for (;;) {
        DWORD r = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        TraceRecord *record;

        if (r != WAIT_OBJECT_0 + 1)
            break;   /* asked to stop, or the wait failed */
        record = CopyBuffer(c);
        SetEvent(c->hObjects[OBJECT_BUFFER_READY]);
        if (record)
            PushRecord(record);
        else
            InterlockedIncrement(&g_nLostRecords);
    }
    return 0;
}

BOOL StartReceivers(void)
{
    g_hStopReceivers = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (g_hStopReceivers == NULL)
        return FALSE;
    for (int i = 0; i < CHANNEL_COUNT; i++) {
        Channel *c = &g_channels[i];
        if (c->pView == NULL)
            continue;
        c->hReceiver = CreateThread(NULL, 0, ReceiverThread, c, 0, NULL);
        if (c->hReceiver == NULL)
            return FALSE;
        /* A writer waits while its receiver is not running; let it run first. */
        SetThreadPriority(c->hReceiver, THREAD_PRIORITY_HIGHEST);
    }
    return TRUE;
}

void StopReceivers(void)
{
    if (g_hStopReceivers != NULL)
        SetEvent(g_hStopReceivers);
    for (int i = 0; i < CHANNEL_COUNT; i++) {
        Channel *c = &g_channels[i];
        if (c->hReceiver == NULL)
            continue;
        WaitForSingleObject(c->hReceiver, 10000);
        CloseHandle(c->hReceiver);
        c->hReceiver = NULL;
    }
    if (g_hStopReceivers != NULL)
        CloseHandle(g_hStopReceivers);
    g_hStopReceivers = NULL;
}

void CloseChannels(void)
{
    for (int i = 0; i < CHANNEL_COUNT; i++)
        CloseChannel(&g_channels[i]);
}
