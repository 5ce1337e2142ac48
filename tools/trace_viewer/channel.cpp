/*
 * The machine's debug-output channel, seen from the listening side. A writer
 * waits for DBWIN_BUFFER_READY, puts its process id and text into the shared
 * DBWIN_BUFFER and signals DBWIN_DATA_READY; the listener copies the text out
 * and signals the buffer ready again. Only one listener can hold the channel,
 * so finding any of the three objects already there means another one runs.
 *
 * The receiver thread does nothing but copy: it takes the time, copies the
 * buffer into a record, lets the next writer in and queues the record. All
 * formatting and writing is done on the main thread, so a slow console or
 * file never keeps a writer waiting.
 */
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include "viewer.h"

static HANDLE g_hBufferReady = NULL;
static HANDLE g_hDataReady = NULL;
static HANDLE g_hMapping = NULL;
static const BYTE *g_pView = NULL;
static HANDLE g_hStopReceiver = NULL;
static HANDLE g_hReceiver = NULL;

/* Traces the receiver could not keep (no memory for the record). */
volatile LONG g_nLostRecords = 0;

/* Creates a named object; TRUE in *existed when the name was taken already. */
static HANDLE CreateChannelEvent(const wchar_t *name, BOOL *existed)
{
    HANDLE h = CreateEventW(NULL, FALSE, FALSE, name);
    *existed = (h != NULL && GetLastError() == ERROR_ALREADY_EXISTS);
    return h;
}

int OpenChannel(void)
{
    BOOL existed = FALSE;
    const wchar_t *held = NULL;

    g_hBufferReady = CreateChannelEvent(L"DBWIN_BUFFER_READY", &existed);
    if (g_hBufferReady == NULL) {
        Notice(L"cannot create the event DBWIN_BUFFER_READY (error %lu)", GetLastError());
        CloseChannel();
        return EXIT_FAILED;
    }
    if (existed)
        held = L"DBWIN_BUFFER_READY";
    if (!held) {
        g_hDataReady = CreateChannelEvent(L"DBWIN_DATA_READY", &existed);
        if (g_hDataReady == NULL) {
            Notice(L"cannot create the event DBWIN_DATA_READY (error %lu)", GetLastError());
            CloseChannel();
            return EXIT_FAILED;
        }
        if (existed)
            held = L"DBWIN_DATA_READY";
    }
    if (!held) {
        g_hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, CHANNEL_BYTES,
                                        L"DBWIN_BUFFER");
        if (g_hMapping == NULL) {
            Notice(L"cannot create the shared buffer DBWIN_BUFFER (error %lu)", GetLastError());
            CloseChannel();
            return EXIT_FAILED;
        }
        if (GetLastError() == ERROR_ALREADY_EXISTS)
            held = L"DBWIN_BUFFER";
    }
    if (held) {
        Notice(L"another debug-output viewer already holds the channel (%ls exists); "
               L"close it and start again", held);
        CloseChannel();
        return EXIT_CHANNEL_HELD;
    }
    g_pView = (const BYTE *)MapViewOfFile(g_hMapping, FILE_MAP_READ, 0, 0, CHANNEL_BYTES);
    if (g_pView == NULL) {
        Notice(L"cannot map the shared buffer DBWIN_BUFFER (error %lu)", GetLastError());
        CloseChannel();
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

/* Copies the buffer into a new record; NULL when there is no memory. */
static TraceRecord *CopyBuffer(void)
{
    const char *text = (const char *)(g_pView + sizeof(DWORD));
    size_t cb = 0;
    TraceRecord *record;

    while (cb < CHANNEL_TEXT_BYTES - 1 && text[cb] != '\0')
        cb++;
    record = (TraceRecord *)malloc(offsetof(TraceRecord, text) + cb + 1);
    if (record == NULL)
        return NULL;
    GetLocalTime(&record->time);
    record->next = NULL;
    memcpy(&record->dwPid, g_pView, sizeof(DWORD));
    record->cbText = (DWORD)cb;
    memcpy(record->text, text, cb);
    record->text[cb] = '\0';
    return record;
}

static DWORD WINAPI ReceiverThread(void *unused)
{
    HANDLE waits[2] = { g_hStopReceiver, g_hDataReady };
    (void)unused;

    SetEvent(g_hBufferReady);
    for (;;) {
        DWORD r = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        TraceRecord *record;

        if (r != WAIT_OBJECT_0 + 1)
            break;   /* asked to stop, or the wait failed */
        record = CopyBuffer();
        SetEvent(g_hBufferReady);
        if (record)
            PushRecord(record);
        else
            InterlockedIncrement(&g_nLostRecords);
    }
    return 0;
}

BOOL StartReceiver(void)
{
    g_hStopReceiver = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (g_hStopReceiver == NULL)
        return FALSE;
    g_hReceiver = CreateThread(NULL, 0, ReceiverThread, NULL, 0, NULL);
    if (g_hReceiver == NULL)
        return FALSE;
    /* A writer waits while the receiver is not running; let it run first. */
    SetThreadPriority(g_hReceiver, THREAD_PRIORITY_HIGHEST);
    return TRUE;
}

void StopReceiver(void)
{
    if (g_hReceiver != NULL) {
        SetEvent(g_hStopReceiver);
        WaitForSingleObject(g_hReceiver, 10000);
        CloseHandle(g_hReceiver);
        g_hReceiver = NULL;
    }
    if (g_hStopReceiver != NULL) {
        CloseHandle(g_hStopReceiver);
        g_hStopReceiver = NULL;
    }
}

void CloseChannel(void)
{
    if (g_pView != NULL)
        UnmapViewOfFile(g_pView);
    g_pView = NULL;
    if (g_hMapping != NULL)
        CloseHandle(g_hMapping);
    g_hMapping = NULL;
    if (g_hDataReady != NULL)
        CloseHandle(g_hDataReady);
    g_hDataReady = NULL;
    if (g_hBufferReady != NULL)
        CloseHandle(g_hBufferReady);
    g_hBufferReady = NULL;
}
