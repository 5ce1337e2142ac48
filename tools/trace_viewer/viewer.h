/*
 * The trace viewer: what its source files share. It listens on the machine's
 * debug-output channel, where every process's OutputDebugString text arrives
 * one at a time, and prints one line per trace: local time, process id, text.
 */
#ifndef VIEWER_H
#define VIEWER_H

#include <windows.h>

/* Exit codes. */
#define EXIT_OK            0
#define EXIT_USAGE         1   /* bad command line */
#define EXIT_CHANNEL_HELD  2   /* another listener holds the debug-output channel */
#define EXIT_FAILED        3   /* the channel or the output could not be set up */
#define EXIT_TIME_UP       4   /* --duration ended the run before --count or --until was met */

#define MAX_TAGS           16
/* The shared buffer: the writer's process id, then its text, terminated. */
#define CHANNEL_BYTES      4096
#define CHANNEL_TEXT_BYTES (CHANNEL_BYTES - sizeof(DWORD))

struct ViewerOptions {
    const wchar_t *tags[MAX_TAGS];   /* keep traces that begin with one of these */
    int nTags;
    DWORD dwCount;                   /* stop after this many printed lines; 0: no limit */
    DWORD dwDurationMs;              /* stop after this long; 0: no limit */
    const wchar_t *strUntil;         /* stop after the first printed line containing this */
    BOOL bFlushEachLine;             /* write every line out at once */
    const wchar_t *strLogPath;       /* also append the lines to this file */
    BOOL bQuiet;                     /* no "listening" notice on standard error */
};

/* One trace as it came off the channel. */
struct TraceRecord {
    TraceRecord *next;
    SYSTEMTIME time;                 /* local time of arrival */
    DWORD dwPid;
    DWORD cbText;                    /* bytes of text, without the terminator */
    char text[1];                    /* ANSI code page text, terminated */
};

/* arguments.cpp: EXIT_OK, or EXIT_USAGE after a message. *helpShown is set
   for --help (exit 0 then). */
int ParseArguments(int argc, wchar_t **argv, ViewerOptions *options, BOOL *helpShown);

/* channel.cpp: the debug-output channel and the thread that empties it. */
int OpenChannel(void);               /* EXIT_OK, EXIT_CHANNEL_HELD or EXIT_FAILED */
BOOL StartReceiver(void);
void StopReceiver(void);             /* waits for the receiver thread to end */
void CloseChannel(void);

/* trace_queue.cpp: records handed from the receiver to the printer, in order. */
BOOL InitQueue(void);
void PushRecord(TraceRecord *record);
TraceRecord *TakeRecords(void);      /* every queued record, oldest first, or NULL */
HANDLE QueueEvent(void);             /* signalled when records are waiting */
void FreeRecords(TraceRecord *list);

/* output.cpp: filtering, the printed form of a trace, and the writing. */
BOOL OpenOutput(const ViewerOptions *options);
BOOL WantRecord(const ViewerOptions *options, const TraceRecord *record);
/* Prints one record; *matchedUntil tells whether its line holds --until. */
BOOL PrintRecord(const ViewerOptions *options, const TraceRecord *record, BOOL *matchedUntil);
void FlushOutput(void);
void CloseOutput(void);
void Notice(const wchar_t *format, ...);   /* "trace_viewer: ..." on standard error */

#endif /* VIEWER_H */
