/*
 * The debug-output channel, shared by its writers and its one listener. The
 * listener makes the auto-reset events DBWIN_BUFFER_READY and DBWIN_DATA_READY
 * and the shared buffer DBWIN_BUFFER: 4096 bytes, the writer's process id and
 * then its text, terminated. A writer waits for DBWIN_BUFFER_READY, fills the
 * buffer and signals DBWIN_DATA_READY; the listener copies the text out and
 * signals DBWIN_BUFFER_READY to let the next writer in. Writers that find the
 * writers' mutex hold it meanwhile. A process writes through its own session's
 * objects: unprefixed names in a user's session, Global\ ones in session 0
 * (services, the device installer). Only one listener can hold a channel, so
 * finding any of its objects already there means another one runs.
 */
#ifndef DEBUG_CHANNEL_H
#define DEBUG_CHANNEL_H

#include <windows.h>

#define CHANNEL_BYTES       4096
#define CHANNEL_TEXT_BYTES  (CHANNEL_BYTES - sizeof(DWORD))   /* after the process id */

/* This session's channel (unprefixed names) and session 0's (Global\ names). */
enum { CHANNEL_SESSION, CHANNEL_GLOBAL, CHANNEL_COUNT };
enum { OBJECT_BUFFER_READY, OBJECT_DATA_READY, OBJECT_BUFFER, OBJECT_COUNT };

static const wchar_t *const kChannelObjectNames[CHANNEL_COUNT][OBJECT_COUNT] = {
    { L"DBWIN_BUFFER_READY", L"DBWIN_DATA_READY", L"DBWIN_BUFFER" },
    { L"Global\\DBWIN_BUFFER_READY", L"Global\\DBWIN_DATA_READY", L"Global\\DBWIN_BUFFER" },
};

/* All a writer needs: wait for the buffer, signal its text, map the buffer to write it. */
static const DWORD kWriterRights[OBJECT_COUNT] = { SYNCHRONIZE, EVENT_MODIFY_STATE, FILE_MAP_WRITE };

#define GLOBAL_WRITERS_MUTEX L"Global\\DBWinMutex"

#endif /* DEBUG_CHANNEL_H */
