/*
 * The trace viewer: what its source files share. It listens on two
 * debug-output channels at once, where OutputDebugString texts arrive one at
 * a time: its own session's and the global one, which is the channel of the
 * processes in session 0 (services, the device installer). It prints one
 * line per trace: local time, channel mark, process id, text.
 */
#ifndef VIEWER_H
#define VIEWER_H

#include "debug_channel.h"
#include "notice.h"

/* Exit codes. */
#define EXIT_OK            0
#define EXIT_USAGE         1   /* bad command line */
#define EXIT_CHANNEL_HELD  2   /* no channel to be had: held by other listeners, or not allowed */
#define EXIT_FAILED        3   /* the channels or the output could not be set up */
#define EXIT_TIME_UP       4   /* --duration ended the run before --count or --until was met */

#define MAX_TAGS           16

struct ViewerOptions {
    const wchar_t *tags[MAX_TAGS];   /* keep traces that begin with one of these */
    int nTags;
    DWORD dwCount;                   /* stop after this many printed lines; 0: no limit */
    DWORD dwDurationMs;              /* stop after this long; 0: no limit */
    const wchar_t *strUntil;         /* stop after the first printed line containing this */
    BOOL bFlushEachLine;             /* write every line out at once */
    const wchar_t *strLogPath;       /* also append the lines to this file */
    BOOL bQuiet;                     /* no "listening" notice on standard error */
    BOOL bListen[CHANNEL_COUNT];     /* the channels asked for */
};

/* One trace as it came off the channel. */
struct TraceRecord {
    TraceRecord *next;
    SYSTEMTIME time;                 /* local time of arrival */
    int channel;                     /* CHANNEL_SESSION or CHANNEL_GLOBAL */
    DWORD dwPid;
    DWORD cbText;                    /* bytes of text, without the terminator */
    char text[1];                    /* ANSI code page text, terminated */
};

/* arguments.cpp: EXIT_OK, or EXIT_USAGE after a message. *helpShown is set
   for --help (exit 0 then). */
int ParseArguments(int argc, wchar_t **argv, ViewerOptions *options, BOOL *helpShown);

/* channel.cpp: the debug-output channels and the threads that empty them.
   OpenChannel says on standard error why a channel cannot be had. */
int OpenChannel(int channel);        /* EXIT_OK, EXIT_CHANNEL_HELD or EXIT_FAILED */
BOOL StartReceivers(void);           /* one for each open channel */
void StopReceivers(void);            /* waits for the receiver threads to end */
void CloseChannels(void);

/* channel_security.cpp: the security the objects of a channel are made
   with; free it with LocalFree. NULL after a notice. */
PSECURITY_DESCRIPTOR MakeChannelSecurity(int object);

/* trace_queue.cpp: records handed from the receiver to the printer, in order. */
BOOL InitQueue(void);
void PushRecord(TraceRecord *record);
TraceRecord *TakeRecords(void);      /* every queued record, oldest first, or NULL */
HANDLE QueueEvent(void);             /* signalled when records are waiting */
void FreeRecords(TraceRecord *list);

/* output.cpp: filtering, the printed form of a trace, and the writing.
   FALSE from the last three: the log could not be written (said once). */
BOOL OpenOutput(const ViewerOptions *options);
BOOL WantRecord(const ViewerOptions *options, const TraceRecord *record);
/* Prints one record; *matchedUntil tells whether its line holds --until. */
BOOL PrintRecord(const ViewerOptions *options, const TraceRecord *record, BOOL *matchedUntil);
BOOL FlushOutput(void);
BOOL CloseOutput(void);

#endif /* VIEWER_H */
