/*
 * port_client: a stand-in for the printer driver's port client, for tests,
 * demonstrations and measurements of the power guard.
 *
 *   port_client [options] command [command...]
 *
 * Commands run in the order given; the first that fails ends the run with its
 * exit code. Options apply to the commands after them.
 *
 *   register <port>...     send WM_POWREGISTER for each port ("registered <port>")
 *   unregister <port>...   send WM_POWUNREGISTER for each port ("unregistered <port>")
 *   hold <port> <ms>       take the port's mutex (waiting up to --wait-ms), keep it
 *                          <ms> milliseconds, release it: "held <port>", "released <port>";
 *                          "timeout <port>" and exit 3 when it is not obtained in time
 *   try <port>             hold for 0 ms: tells whether the port is free within --wait-ms
 *   cycle <port> <count>   take and release the mutex <count> times: "cycled <port> <count>"
 *   exit-holding <port>    take the mutex and end the process without releasing it,
 *                          which leaves it abandoned ("held <port>"); must come last
 *   name <port>            print the port's mutex name
 *   sleep <ms>             pause
 *
 *   --tag <TAG>            the guard's build tag (default TAVRIKEN): window class and name part
 *   --wait-ms <n>          longest wait for a mutex (default 5000)
 *   --find-ms <n>          how long to look for the guard's window (default 5000)
 *   --send-ms <n>          longest wait for the guard's answer to a message (default 60000)
 *   --prefix auto|global|none
 *                          name prefix: auto (default) is "Global\" on NT after version 4
 *   --release-event <name> a hold ends early once this named event is signalled
 *                          (created when missing, manual reset)
 *   --help                 this text
 *
 * A port is a decimal or 0x-hexadecimal pointer-sized value, printed back as
 * given. A mutex the guard has not created yet is created by the client, as a
 * real client may do. Every line goes to standard output at once.
 *
 * Exit codes: 0 done, 1 bad command line, 2 no guard window, 3 a mutex not
 * obtained within --wait-ms, 4 a mutex could not be opened, waited on or
 * released, 5 the guard did not answer a message within --send-ms.
 */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include "client.h"
#include "port_client.h"

const wchar_t g_programName[] = L"port_client";
ClientOptions g_options;

static const char kUsage[] =
    "usage: port_client [options] command [command...]\n"
    "commands (run in order; the first failure ends the run):\n"
    "  register <port>...     send WM_POWREGISTER for each port\n"
    "  unregister <port>...   send WM_POWUNREGISTER for each port\n"
    "  hold <port> <ms>       take the port's mutex, keep it <ms>, release it\n"
    "  try <port>             take and release at once (is the port free?)\n"
    "  cycle <port> <count>   take and release the mutex <count> times\n"
    "  exit-holding <port>    take the mutex and exit without releasing it (last command)\n"
    "  name <port>            print the port's mutex name\n"
    "  sleep <ms>             pause\n"
    "options (apply to the commands after them):\n"
    "  --tag <TAG>            guard build tag, default TAVRIKEN\n"
    "  --wait-ms <n>          longest wait for a mutex, default 5000\n"
    "  --find-ms <n>          how long to look for the guard window, default 5000\n"
    "  --send-ms <n>          longest wait for the guard's answer, default 60000\n"
    "  --prefix auto|global|none   mutex name prefix, default auto\n"
    "  --release-event <name> a hold ends early when this named event is signalled\n"
    "  --help                 this text\n"
    "ports: decimal or 0x-hexadecimal. output lines: registered, unregistered, held,\n"
    "released, timeout, abandoned, cycled, followed by the port.\n"
    "exit codes: 0 done, 1 bad command line, 2 no guard window, 3 mutex not obtained\n"
    "in time, 4 mutex error, 5 guard did not answer\n";

static void ResetOptions(void)
{
    g_options.tag = POWER_GUARD_TAG_TAVRIKEN;
    g_options.waitMs = 5000;
    g_options.findMs = 5000;
    g_options.sendMs = 60000;
    g_options.prefix = PREFIX_AUTO;
    g_options.releaseEvent = NULL;
}

static int Usage(const wchar_t *format, const wchar_t *text)
{
    Notice(format, text);
    fputs("usage: port_client [options] command [command...]; port_client --help for more\n", stderr);
    return EXIT_USAGE;
}

static BOOL Is(const wchar_t *a, const wchar_t *b)
{
    return wcscmp(a, b) == 0;
}

/* Reads one option and its value; EXIT_OK or EXIT_USAGE. */
static int ReadOption(int argc, wchar_t **argv, int *i)
{
    const wchar_t *option = argv[*i - 1];
    const wchar_t *value;
    DWORD ms;

    if (*i >= argc)
        return Usage(L"%ls needs a value", option);
    value = argv[(*i)++];
    if (Is(option, L"--tag")) {
        if (!IsValidTag(value))
            return Usage(L"bad tag: %ls (letters and digits only)", value);
        g_options.tag = value;
    } else if (Is(option, L"--wait-ms") || Is(option, L"--find-ms") || Is(option, L"--send-ms")) {
        if (!ParseMilliseconds(value, &ms))
            return Usage(L"bad milliseconds: %ls", value);
        if (Is(option, L"--wait-ms"))
            g_options.waitMs = ms;
        else if (Is(option, L"--find-ms"))
            g_options.findMs = ms;
        else
            g_options.sendMs = ms;
    } else if (Is(option, L"--prefix")) {
        if (Is(value, L"auto"))
            g_options.prefix = PREFIX_AUTO;
        else if (Is(value, L"global"))
            g_options.prefix = PREFIX_GLOBAL;
        else if (Is(value, L"none"))
            g_options.prefix = PREFIX_NONE;
        else
            return Usage(L"bad prefix: %ls (auto, global or none)", value);
    } else if (Is(option, L"--release-event")) {
        if (!*value)
            return Usage(L"%ls", L"empty release event name");
        g_options.releaseEvent = value;
    } else {
        return Usage(L"unknown option: %ls", option);
    }
    return EXIT_OK;
}

/* The port argument of a command; FALSE after a usage message. */
static BOOL ReadPort(int argc, wchar_t **argv, int *i, const wchar_t *command, ULONG_PTR *port)
{
    if (*i >= argc) {
        Usage(L"%ls needs a port", command);
        return FALSE;
    }
    if (!ParsePort(argv[*i], port)) {
        Usage(L"bad port: %ls", argv[*i]);
        return FALSE;
    }
    (*i)++;
    return TRUE;
}

static BOOL ReadNumber(int argc, wchar_t **argv, int *i, const wchar_t *command, DWORD *number)
{
    if (*i >= argc) {
        Usage(L"%ls needs a number", command);
        return FALSE;
    }
    if (!ParseMilliseconds(argv[*i], number)) {
        Usage(L"bad number: %ls", argv[*i]);
        return FALSE;
    }
    (*i)++;
    return TRUE;
}

/* Walks the command line. With execute FALSE it only checks it, so a bad
   command line does nothing at all; with TRUE it runs the commands. */
static int Run(int argc, wchar_t **argv, BOOL execute)
{
    int i = 1;
    BOOL anyCommand = FALSE;
    BOOL ended = FALSE;

    ResetOptions();
    while (i < argc) {
        const wchar_t *word = argv[i++];
        const wchar_t *portText;
        ULONG_PTR port;
        DWORD number;
        int status = EXIT_OK;

        if (ended)
            return Usage(L"nothing may follow exit-holding: %ls", word);
        if (word[0] == L'-' && word[1] == L'-') {
            status = ReadOption(argc, argv, &i);
            if (status != EXIT_OK)
                return status;
            continue;
        }
        anyCommand = TRUE;
        if (Is(word, L"register") || Is(word, L"unregister")) {
            UINT message = Is(word, L"register") ? WM_POWREGISTER : WM_POWUNREGISTER;
            if (i >= argc || !ParsePort(argv[i], &port))
                return Usage(i >= argc ? L"%ls needs a port" : L"bad port: %ls", i >= argc ? word : argv[i]);
            while (i < argc && ParsePort(argv[i], &port)) {
                portText = argv[i++];
                if (execute && (status = SendPortMessage(message, portText, port)) != EXIT_OK)
                    return status;
            }
        } else if (Is(word, L"hold") || Is(word, L"cycle")) {
            portText = argv[i];
            if (!ReadPort(argc, argv, &i, word, &port) || !ReadNumber(argc, argv, &i, word, &number))
                return EXIT_USAGE;
            if (execute)
                status = Is(word, L"hold") ? HoldPort(portText, port, number)
                                           : CyclePort(portText, port, number);
        } else if (Is(word, L"try") || Is(word, L"exit-holding") || Is(word, L"name")) {
            portText = argv[i];
            if (!ReadPort(argc, argv, &i, word, &port))
                return EXIT_USAGE;
            if (Is(word, L"exit-holding"))
                ended = TRUE;
            if (execute) {
                if (Is(word, L"try")) {
                    status = HoldPort(portText, port, 0);
                } else if (Is(word, L"name")) {
                    wchar_t name[POWER_GUARD_MUTEX_NAME_UNITS + 64];
                    PortMutexName(port, name, sizeof(name) / sizeof(name[0]));
                    printf("%ls\n", name);
                    fflush(stdout);
                } else {
                    status = ExitHoldingPort(portText, port);
                }
            }
        } else if (Is(word, L"sleep")) {
            if (!ReadNumber(argc, argv, &i, word, &number))
                return EXIT_USAGE;
            if (execute)
                Sleep(number);
        } else {
            return Usage(L"unknown command: %ls", word);
        }
        if (status != EXIT_OK)
            return status;
    }
    if (!anyCommand)
        return Usage(L"%ls", L"no command given");
    return EXIT_OK;
}

int wmain(int argc, wchar_t **argv)
{
    int status;

    /* Lines end in "\n" alone, whoever reads them. */
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    for (int i = 1; i < argc; i++)
        if (Is(argv[i], L"--help")) {
            fputs(kUsage, stdout);
            return EXIT_OK;
        }
    status = Run(argc, argv, FALSE);
    if (status != EXIT_OK)
        return status;
    return Run(argc, argv, TRUE);
}
