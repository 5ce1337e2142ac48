/*
 * The stand-in port client: what its source files share. The options that
 * hold for a whole run, the exit codes, and the routines of each file.
 */
#ifndef CLIENT_H
#define CLIENT_H

#include "notice.h"

/* Exit codes, one per kind of outcome. */
#define EXIT_OK              0
#define EXIT_USAGE           1   /* bad command line */
#define EXIT_NO_GUARD        2   /* no guard window of that tag */
#define EXIT_TIMEOUT         3   /* a port's mutex not obtained within --wait-ms */
#define EXIT_MUTEX_ERROR     4   /* the mutex could not be opened, created or waited on */
#define EXIT_NOT_DELIVERED   5   /* the guard did not answer a message in time */

/* Which object-namespace prefix the mutex names get. */
#define PREFIX_AUTO    0   /* as the guard decides: "Global\" on NT after version 4 */
#define PREFIX_GLOBAL  1
#define PREFIX_NONE    2

struct ClientOptions {
    const wchar_t *tag;            /* the guard's build tag: window class and name part */
    DWORD waitMs;                  /* longest wait for a port's mutex */
    DWORD findMs;                  /* how long to look for the guard's window */
    DWORD sendMs;                  /* longest wait for the guard's answer to a message */
    int prefix;                    /* PREFIX_* */
    const wchar_t *releaseEvent;   /* a named event that ends a hold early, or NULL */
};

extern ClientOptions g_options;

/* arguments.cpp */
BOOL ParsePort(const wchar_t *text, ULONG_PTR *port);
BOOL ParseMilliseconds(const wchar_t *text, DWORD *ms);
BOOL IsValidTag(const wchar_t *text);

/* output.cpp: one line per event on standard output, flushed at once, so a
   parent reading a pipe sees it while the client still runs; errors are
   notices */
void PrintLine(const char *word, const wchar_t *port);

/* guard_messages.cpp */
int SendPortMessage(UINT message, const wchar_t *portText, ULONG_PTR port);

/* port_mutex.cpp */
void PortMutexName(ULONG_PTR port, wchar_t *name, size_t units);
int HoldPort(const wchar_t *portText, ULONG_PTR port, DWORD holdMs);
int CyclePort(const wchar_t *portText, ULONG_PTR port, DWORD count);
int ExitHoldingPort(const wchar_t *portText, ULONG_PTR port);

#endif /* CLIENT_H */
