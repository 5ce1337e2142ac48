/*
 * global_writer: writes each of its arguments as one debug-output trace
 * through the global channel, the way a process in session 0 (a service, the
 * device installer) writes its OutputDebugString text. A process in a user's
 * session writes through its own session's objects instead; this one opens
 * the Global\ objects by name, so it can show from any session whether a
 * viewer hears session 0.
 *
 *     global_writer [--wait MS] TEXT...
 *
 * Each text is sent with a closing line end, in the ANSI code page, as
 * debug_channel.h describes. Every object is opened only for what writing
 * needs.
 *
 * Exit codes: 0 every text taken, 1 bad command line, 2 no listener on the
 * global channel, 3 the channel's objects could not be opened, 4 the
 * listener did not take a text within --wait (5000 ms unless given).
 */
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include "debug_channel.h"
#include "notice.h"

#define EXIT_OK          0
#define EXIT_USAGE       1
#define EXIT_NO_LISTENER 2
#define EXIT_OPEN_FAILED 3
#define EXIT_TIMEOUT     4

static const wchar_t kUsage[] =
    L"usage: global_writer [--wait MS] TEXT...\n"
    L"Sends each TEXT as one debug-output trace through the global channel\n"
    L"(the Global\\DBWIN_ objects), as a process in session 0 does, to check that\n"
    L"a viewer hears session 0. --wait: longest wait for the listener, default 5000.\n"
    L"Exit codes: 0 every text taken, 1 bad command line, 2 no listener on the\n"
    L"global channel, 3 its objects could not be opened, 4 the listener did not\n"
    L"take a text in time.\n";

const wchar_t g_programName[] = L"global_writer";

struct GlobalChannel {
    HANDLE hMutex;                   /* NULL when no writers' mutex exists */
    HANDLE hObjects[OBJECT_COUNT];
    BYTE *pView;
};

static void CloseGlobalChannel(GlobalChannel *c)
{
    if (c->pView)
        UnmapViewOfFile(c->pView);
    for (int i = 0; i < OBJECT_COUNT; i++)
        if (c->hObjects[i])
            CloseHandle(c->hObjects[i]);
    if (c->hMutex)
        CloseHandle(c->hMutex);
    ZeroMemory(c, sizeof(*c));
}

/* Names what could not be opened, with the error of that call. */
static int OpenFailed(GlobalChannel *c, const wchar_t *what, DWORD error)
{
    Notice(L"cannot open the objects of the global channel (%ls, error %lu)", what, (unsigned long)error);
    CloseGlobalChannel(c);
    return EXIT_OPEN_FAILED;
}

static int OpenGlobalChannel(GlobalChannel *c)
{
    const wchar_t *const *names = kChannelObjectNames[CHANNEL_GLOBAL];

    ZeroMemory(c, sizeof(*c));
    c->hMutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, GLOBAL_WRITERS_MUTEX);
    c->hObjects[OBJECT_BUFFER] = OpenFileMappingW(kWriterRights[OBJECT_BUFFER], FALSE, names[OBJECT_BUFFER]);
    if (c->hObjects[OBJECT_BUFFER] == NULL) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            Notice(L"no listener on the global channel (%ls does not exist)", names[OBJECT_BUFFER]);
        else
            Notice(L"cannot open %ls (error %lu)", names[OBJECT_BUFFER], (unsigned long)error);
        CloseGlobalChannel(c);
        return error == ERROR_FILE_NOT_FOUND ? EXIT_NO_LISTENER : EXIT_OPEN_FAILED;
    }
    c->pView = (BYTE *)MapViewOfFile(c->hObjects[OBJECT_BUFFER], FILE_MAP_WRITE, 0, 0, 0);
    if (c->pView == NULL)
        return OpenFailed(c, L"mapping the buffer", GetLastError());
    for (int i = OBJECT_BUFFER_READY; i <= OBJECT_DATA_READY; i++) {
        c->hObjects[i] = OpenEventW(kWriterRights[i], FALSE, names[i]);
        if (c->hObjects[i] == NULL)
            return OpenFailed(c, names[i], GetLastError());
    }
    return EXIT_OK;
}

/* Sends one text; the writers' mutex, when there is one, is held meanwhile. */
static int WriteText(GlobalChannel *c, const wchar_t *text, DWORD waitMs)
{
    int status = EXIT_OK;
    DWORD r = WAIT_OBJECT_0;
    char *target = (char *)(c->pView + sizeof(DWORD));
    DWORD pid = GetCurrentProcessId();
    int cb;

    if (c->hMutex)
        r = WaitForSingleObject(c->hMutex, waitMs);
    if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) {
        Notice(L"the writers' mutex %ls stayed taken (wait result %lu)", GLOBAL_WRITERS_MUTEX, (unsigned long)r);
        return EXIT_TIMEOUT;
    }
    r = WaitForSingleObject(c->hObjects[OBJECT_BUFFER_READY], waitMs);
    if (r != WAIT_OBJECT_0) {
        Notice(L"the listener did not free %ls in time (wait result %lu)",
               kChannelObjectNames[CHANNEL_GLOBAL][OBJECT_BUFFER], (unsigned long)r);
        status = EXIT_TIMEOUT;
    } else {
        /* The text, cut to what the buffer holds, then the line end and terminator. */
        cb = WideCharToMultiByte(CP_ACP, 0, text, -1, target, CHANNEL_TEXT_BYTES - 2, NULL, NULL);
        if (cb <= 0)
            cb = CHANNEL_TEXT_BYTES - 1;
        target[cb - 1] = '\n';
        target[cb] = '\0';
        memcpy(c->pView, &pid, sizeof(pid));
        SetEvent(c->hObjects[OBJECT_DATA_READY]);
    }
    if (c->hMutex)
        ReleaseMutex(c->hMutex);
    return status;
}

int wmain(int argc, wchar_t **argv)
{
    GlobalChannel channel;
    DWORD waitMs = 5000;
    int first = 1;
    int status;

    if (argc > 2 && wcscmp(argv[1], L"--wait") == 0) {
        /* Digits alone, and bounded: "-1" or an overflow would read as INFINITE. */
        wchar_t *end = NULL;
        waitMs = wcstoul(argv[2], &end, 10);
        if (argv[2][0] < L'0' || argv[2][0] > L'9' || *end != L'\0' || waitMs == 0 || waitMs > 0x7FFFFFFF) {
            Notice(L"--wait needs milliseconds above 0, not %ls", argv[2]);
            return EXIT_USAGE;
        }
        first = 3;
    }
    if (first < argc && wcscmp(argv[first], L"--help") == 0) {
        fwprintf(stdout, L"%ls", kUsage);
        return EXIT_OK;
    }
    if (first >= argc) {
        fwprintf(stderr, L"%ls", kUsage);
        return EXIT_USAGE;
    }
    status = OpenGlobalChannel(&channel);
    for (int i = first; i < argc && status == EXIT_OK; i++)
        status = WriteText(&channel, argv[i], waitMs);
    CloseGlobalChannel(&channel);
    return status;
}
