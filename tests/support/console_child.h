/*
 * Test support: a console program left running while the test goes on (a
 * port client holding a mutex, for one), with its output read as it comes so
 * the test can wait for a line such as "held 2".
 */
#ifndef CONSOLE_CHILD_H
#define CONSOLE_CHILD_H

#include <windows.h>
#include <string>

struct ConsoleChild;   /* opaque */

/* Starts commandLine with standard output and error on one pipe. NULL on
   failure, with the reason in *error. */
ConsoleChild *StartConsoleChild(const std::wstring &commandLine, std::wstring *error = nullptr);

/* Everything written so far. */
std::string ConsoleOutput(ConsoleChild *child);

/* Waits until the output contains text; false after timeoutMs. */
bool WaitForConsoleOutput(ConsoleChild *child, const std::string &text, DWORD timeoutMs);

/* Waits for the process to end; its output is complete afterwards. */
bool WaitConsoleExit(ConsoleChild *child, DWORD timeoutMs, DWORD *exitCode);

/* Ends the process if it still runs and frees everything. */
void CloseConsoleChild(ConsoleChild *child);

#endif /* CONSOLE_CHILD_H */
