/*
 * trace_viewer: shows the debug output of every process on the machine as
 * it happens, one line per trace (see output.cpp for the form and
 * arguments.cpp for the options). The receiver thread empties the channel
 * (channel.cpp); this thread filters, prints and decides when to stop.
 */
#include "viewer.h"

static HANDLE g_hInterrupt = NULL;
extern volatile LONG g_nLostRecords;

static BOOL WINAPI OnConsoleControl(DWORD type)
{
    (void)type;
    SetEvent(g_hInterrupt);
    return TRUE;
}

/* Prints the queued records until a stop condition is met; the exit code. */
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
            PrintRecord(options, record, &matchedUntil);
            printed++;
            if (matchedUntil || (options->dwCount && printed >= options->dwCount)) {
                FreeRecords(list);
                return EXIT_OK;
            }
        }
        FreeRecords(list);
        FlushOutput();
        if (interrupted)
            return EXIT_OK;
    }
}

int wmain(int argc, wchar_t **argv)
{
    ViewerOptions options;
    BOOL helpShown;
    int status = ParseArguments(argc, argv, &options, &helpShown);

    if (status != EXIT_OK || helpShown)
        return status;
    g_hInterrupt = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (g_hInterrupt == NULL || !InitQueue() || !OpenOutput(&options))
        return EXIT_FAILED;
    status = OpenChannel();
    if (status != EXIT_OK) {
        CloseOutput();
        return status;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    if (!StartReceiver()) {
        Notice(L"cannot start the receiving thread (error %lu)", GetLastError());
        StopReceiver();
        CloseChannel();
        CloseOutput();
        return EXIT_FAILED;
    }
    if (!options.bQuiet)
        Notice(L"listening to the debug output of every process; Ctrl+C stops");

    status = PrintUntilDone(&options);

    StopReceiver();
    CloseChannel();
    CloseOutput();
    if (g_nLostRecords > 0)
        Notice(L"%ld traces lost: no memory to keep them", g_nLostRecords);
    return status;
}
