/*
 * trace_viewer: shows the debug output of this session's processes and of
 * session 0's as it happens, one line per trace (see output.cpp for the form
 * and arguments.cpp for the options). The receiver threads empty the channels
 * (channel.cpp); this thread filters, prints and decides when to stop.
 */
#include "viewer.h"

const wchar_t g_programName[] = L"trace_viewer";
static HANDLE g_hInterrupt = NULL;
extern volatile LONG g_nLostRecords;

static BOOL WINAPI OnConsoleControl(DWORD type)
{
    (void)type;
    SetEvent(g_hInterrupt);
    return TRUE;
}

/* Prints the queued records until a stop condition is met or the log
   cannot be written; the exit code. */
static int PrintUntilDone(const ViewerOptions *options)
{
    ULONGLONG start = GetTickCount64();
    DWORD printed = 0;
    HANDLE waits[2] = { QueueEvent(), g_hInterrupt };

    for (;;) {
        DWORD timeout = INFINITE;
        TraceRecord *list, *record;
        BOOL interrupted;

        if (options->dwDurationMs) {
            ULONGLONG elapsed = GetTickCount64() - start;
            if (elapsed >= options->dwDurationMs)
                return (options->dwCount || options->strUntil) ? EXIT_TIME_UP : EXIT_OK;
            timeout = (DWORD)(options->dwDurationMs - elapsed);
        }
        interrupted = WaitForMultipleObjects(2, waits, FALSE, timeout) == WAIT_OBJECT_0 + 1;

        list = TakeRecords();
        for (record = list; record; record = record->next) {
            BOOL matchedUntil = FALSE;
            if (!WantRecord(options, record))
                continue;
            BOOL written = PrintRecord(options, record, &matchedUntil);
            printed++;
            if (!written || matchedUntil || (options->dwCount && printed >= options->dwCount)) {
                FreeRecords(list);
                return written ? EXIT_OK : EXIT_FAILED;
            }
        }
        FreeRecords(list);
        if (!FlushOutput())
            return EXIT_FAILED;
        if (interrupted)
            return EXIT_OK;
    }
}

/* In session 0 the session's own names are the global ones: one channel. */
static BOOL InSessionZero(void)
{
    DWORD session = 1;
    return ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0;
}

/* Opens the channels asked for; EXIT_OK when at least one could be had. */
static int OpenChannels(ViewerOptions *options)
{
    int status = EXIT_FAILED;
    BOOL anyHeld = FALSE;

    if (options->bListen[CHANNEL_SESSION] && options->bListen[CHANNEL_GLOBAL] && InSessionZero())
        options->bListen[CHANNEL_SESSION] = FALSE;
    for (int i = 0; i < CHANNEL_COUNT; i++) {
        int opened;
        if (!options->bListen[i])
            continue;
        opened = OpenChannel(i);
        options->bListen[i] = opened == EXIT_OK;
        if (opened == EXIT_OK)
            status = EXIT_OK;
        anyHeld = anyHeld || opened == EXIT_CHANNEL_HELD;
    }
    if (status != EXIT_OK) {
        Notice(L"nothing to listen on: no channel asked for could be had");
        status = anyHeld ? EXIT_CHANNEL_HELD : EXIT_FAILED;
    }
    return status;
}

static void NoticeListening(const ViewerOptions *options)
{
    if (options->bListen[CHANNEL_SESSION] && options->bListen[CHANNEL_GLOBAL])
        Notice(L"listening to this session (S) and to session 0 (G); Ctrl+C stops");
    else if (options->bListen[CHANNEL_SESSION])
        Notice(L"listening to this session (S) only; Ctrl+C stops");
    else
        Notice(L"listening to session 0 (G) only; Ctrl+C stops");
}

int wmain(int argc, wchar_t **argv)
{
    ViewerOptions options;
    BOOL helpShown;
    int status = ParseArguments(argc, argv, &options, &helpShown);

    if (status != EXIT_OK || helpShown)
        return status;
    g_hInterrupt = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (g_hInterrupt == NULL || !InitQueue())
        return EXIT_FAILED;
    status = OpenChannels(&options);
    if (status != EXIT_OK)
        return status;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    if (!StartReceivers()) {
        Notice(L"cannot start a receiving thread (error %lu)", GetLastError());
        status = EXIT_FAILED;
    } else if (!OpenOutput(&options)) {
        status = EXIT_FAILED;   /* only now, so a viewer that cannot listen leaves an earlier log as it was */
    } else {
        if (!options.bQuiet)
            NoticeListening(&options);
        status = PrintUntilDone(&options);
    }

    StopReceivers();
    CloseChannels();
    if (!CloseOutput())
        status = EXIT_FAILED;
    if (g_nLostRecords > 0)
        Notice(L"%ld traces lost: no memory to keep them", g_nLostRecords);
    return status;
}
