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
 * Each text is sent with a closing line end. The protocol, per text: take the
 * writers' mutex if there is one, wait until the listener says the buffer is
 * free, put the process id and the text (ANSI code page) into the buffer,
 * tell the listener that data is there. Every object is opened only for what
 * writing needs.
 *
 * Exit codes: 0 every text taken, 1 bad command line, 2 no listener on the
 * global channel, 3 the channel's objects could not be opened, 4 the
 * listener did not take a text within --wait (5000 ms unless given).
 */
#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#define EXIT_OK          0
#define EXIT_USAGE       1
#define EXIT_NO_LISTENER 2
#define EXIT_OPEN_FAILED 3
#define EXIT_TIMEOUT     4

#define BUFFER_BYTES     4096

static const wchar_t kUsage[] =
    L"usage: global_writer [--wait MS] TEXT...\n"
    L"Sends each TEXT as one debug-output trace through the global channel\n"
    L"(the Global\\DBWIN_ objects), as a process in session 0 does, to check that\n"
    L"a viewer hears session 0. --wait: longest wait for the listener, default 5000.\n"
    L"Exit codes: 0 every text taken, 1 bad command line, 2 no listener on the\n"
    L"global channel, 3 its objects could not be opened, 4 the listener did not\n"
    L"take a text in time.\n";

struct GlobalChannel {
    HANDLE hMutex;          /* NULL when no writers' mutex exists */
    HANDLE hBufferReady;
    HANDLE hDataReady;
    HANDLE hMapping;
    BYTE *pView;
};

static void Say(const wchar_t *format, ...)
{
    va_list args;

    va_start(args, format);
    fwprintf(stderr, L"global_writer: ");
    vfwprintf(stderr, format, args);
    fwprintf(stderr, L"\n");
    va_end(args);
}

static void CloseGlobalChannel(GlobalChannel *c)
{
    if (c->pView)
        UnmapViewOfFile(c->pView);
    if (c->hMapping)
        CloseHandle(c->hMapping);
    if (c->hDataReady)
        CloseHandle(c->hDataReady);
    if (c->hBufferReady)
        CloseHandle(c->hBufferReady);
    if (c->hMutex)
        CloseHandle(c->hMutex);
    ZeroMemory(c, sizeof(*c));
}

static int OpenGlobalChannel(GlobalChannel *c)
{
    ZeroMemory(c, sizeof(*c));
    c->hMutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, L"Global\\DBWinMutex");
    c->hMapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, L"Global\\DBWIN_BUFFER");
    if (c->hMapping == NULL) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            Say(L"no listener on the global channel (Global\\DBWIN_BUFFER does not exist)");
        else
            Say(L"cannot open Global\\DBWIN_BUFFER (error %lu)", (unsigned long)error);
        CloseGlobalChannel(c);
        return error == ERROR_FILE_NOT_FOUND ? EXIT_NO_LISTENER : EXIT_OPEN_FAILED;
    }
    c->pView = (BYTE *)MapViewOfFile(c->hMapping, FILE_MAP_WRITE, 0, 0, 0);
    c->hBufferReady = OpenEventW(SYNCHRONIZE, FALSE, L"Global\\DBWIN_BUFFER_READY");
    c->hDataReady = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\DBWIN_DATA_READY");
    if (c->pView == NULL || c->hBufferReady == NULL || c->hDataReady == NULL) {
        Say(L"cannot open the objects of the global channel (%ls, error %lu)",
            c->pView == NULL ? L"mapping the buffer" : c->hBufferReady == NULL ? L"Global\\DBWIN_BUFFER_READY"
                                                                              : L"Global\\DBWIN_DATA_READY",
            (unsigned long)GetLastError());
        CloseGlobalChannel(c);
        return EXIT_OPEN_FAILED;
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
        Say(L"the writers' mutex Global\\DBWinMutex stayed taken (wait result %lu)", (unsigned long)r);
        return EXIT_TIMEOUT;
    }
    r = WaitForSingleObject(c->hBufferReady, waitMs);
    if (r != WAIT_OBJECT_0) {
        Say(L"the listener did not free Global\\DBWIN_BUFFER in time (wait result %lu)", (unsigned long)r);
        status = EXIT_TIMEOUT;
    } else {
        /* The text, cut to what the buffer holds, then the line end and terminator. */
        cb = WideCharToMultiByte(CP_ACP, 0, text, -1, target, BUFFER_BYTES - sizeof(DWORD) - 2, NULL, NULL);
        if (cb <= 0)
            cb = BUFFER_BYTES - sizeof(DWORD) - 1;
        target[cb - 1] = '\n';
        target[cb] = '\0';
        memcpy(c->pView, &pid, sizeof(pid));
        SetEvent(c->hDataReady);
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
        wchar_t *end = NULL;
        waitMs = wcstoul(argv[2], &end, 10);
        if (*end != L'\0' || waitMs == 0) {
            Say(L"--wait needs milliseconds above 0, not %ls", argv[2]);
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
