/*
 * Test support: capture of this process's own debug-output lines, for unit
 * tests that call the deliverables' routines directly. A vectored exception
 * handler copies every OutputDebugString text and lets it go on.
 */
#ifndef TRACE_CAPTURE_H
#define TRACE_CAPTURE_H

#include <string>
#include <vector>

void StartTraceCapture(void);          /* clears what was captured, starts */
std::vector<std::wstring> StopTraceCapture(void);   /* stops, returns the lines in order */
std::vector<std::wstring> CapturedLines(void);      /* so far, still capturing */

#endif /* TRACE_CAPTURE_H */
