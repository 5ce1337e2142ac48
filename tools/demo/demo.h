/*
 * demo_driver: the small steps of the demonstration that the stand-in tools
 * do not make, as commands: power broadcasts and closing for the guard,
 * marker lines on the debug-output channel, print queues and user hives for
 * the co-installer, and showing the default printer a hive ended up with.
 */
#ifndef DEMO_H
#define DEMO_H

/* Results are lines on standard output (Say), written out at once so that
   they interleave with the live trace; complaints are notices. */
#include "notice.h"

#define EXIT_OK      0
#define EXIT_FAILED  1
#define EXIT_USAGE   2

/* guard_window.cpp */
int WaitGuardWindow(const wchar_t *tag, DWORD timeoutMs);
int SendBroadcast(const wchar_t *tag, const wchar_t *event);
int CloseGuardWindow(const wchar_t *tag);

/* printers.cpp */
int AddDemoPrinter(const wchar_t *printer, const wchar_t *driver, const wchar_t *port);
int RemoveDemoPrinter(const wchar_t *printer, const wchar_t *driver);

/* user_hives.cpp */
int AddDemoUser(const wchar_t *sid, const wchar_t *printer, const wchar_t *devicesValue);
int ShowDefaultPrinter(const wchar_t *sid, const wchar_t *expected);
int RemoveDemoUser(const wchar_t *sid);

#endif /* DEMO_H */
