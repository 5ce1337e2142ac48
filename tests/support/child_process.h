/*
 * Test support: starting Windows programs from a test and reading what they
 * trace. A child started under the debugger loop delivers every debug-output
 * line losslessly and in order, reports first-chance exceptions (a crash in a
 * window procedure is otherwise swallowed for cross-process messages), and can
 * be held at its exit with everything it did not close still open.
 */
#ifndef CHILD_PROCESS_H
#define CHILD_PROCESS_H

#include <windows.h>
#include <string>
#include <vector>

struct DebugChild;   /* opaque; one per started child */

struct ChildOptions {
    bool holdAtExit = false;   /* stop the child at ntdll!RtlExitUserProcess */
    std::wstring workingDirectory;
    int showState = -1;        /* >= 0: passed as the child's show state */
};

/* Starts commandLine under the debugger loop (on a thread of its own). NULL on
   failure, with the reason in *error when given. */
DebugChild *StartDebugChild(const std::wstring &commandLine, const ChildOptions &options = ChildOptions(),
                            std::wstring *error = nullptr);

DWORD ChildProcessId(DebugChild *child);
HANDLE ChildProcessHandle(DebugChild *child);

/* Every trace line so far, in order (text as sent, line ends kept). */
std::vector<std::wstring> ChildLines(DebugChild *child);
size_t ChildLineCount(DebugChild *child);

/* Waits until a line at index >= fromIndex contains text; returns its index,
   or -1 after timeoutMs. */
int WaitForChildLine(DebugChild *child, const std::wstring &text, DWORD timeoutMs, size_t fromIndex = 0);

/* Waits until the child has traced at least count lines. */
bool WaitForChildLineCount(DebugChild *child, size_t count, DWORD timeoutMs);

/* First-chance exception codes the child raised (breakpoints and debug
   output excluded). */
std::vector<DWORD> ChildExceptions(DebugChild *child);

/* With holdAtExit: waits until the child is stopped at its exit; it stays
   there until ReleaseChildAtExit. */
bool WaitChildAtExit(DebugChild *child, DWORD timeoutMs);
void ReleaseChildAtExit(DebugChild *child);

/* Waits for the process to end (releasing it from a held exit first). */
bool WaitChildExit(DebugChild *child, DWORD timeoutMs, DWORD *exitCode);

/* Ends the child if it still runs, stops the loop and frees everything. */
void CloseDebugChild(DebugChild *child);

/* Plain child without a debugger; output of a console child is captured when
   output is given. Returns false when it could not be started or did not end
   in time (it is then terminated). */
bool RunProcess(const std::wstring &commandLine, DWORD timeoutMs, DWORD *exitCode,
                std::string *output = nullptr);

/* A plain child left running; close pi's handles when done. */
bool StartProcess(const std::wstring &commandLine, PROCESS_INFORMATION *pi);

/* Joins lines into one text, for failure messages. */
std::wstring JoinLines(const std::vector<std::wstring> &lines);
std::string Narrow(const std::wstring &text);

#endif /* CHILD_PROCESS_H */
