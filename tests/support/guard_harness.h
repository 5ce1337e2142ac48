/*
 * Test support: the real power guard program, started under the debugger
 * loop, found by its window, driven by messages and closed.
 */
#ifndef GUARD_HARNESS_H
#define GUARD_HARNESS_H

#include <windows.h>
#include <string>
#include "child_process.h"

struct GuardOptions {
    /* Empty: what the platform reports. Otherwise the version the program is
       to see: "winxp64" (5.2), "win2k" (5.0), "nt40" (4.0), "vista" (6.0). */
    std::wstring reportedVersion;
    bool holdAtExit = false;
    int showState = -1;
    bool waitForWindow = true;
};

struct GuardProcess {
    std::wstring tag;
    std::wstring exePath;
    std::wstring versionKey;     /* the per-program setting made for reportedVersion */
    DebugChild *child = nullptr;
    HWND window = NULL;
};

/* Starts dist/<tag>.exe. False with the reason in *error; *skip is set when
   this platform cannot report the asked version. */
bool StartGuard(GuardProcess *guard, const std::wstring &tag, const GuardOptions &options,
                std::wstring *error, bool *skip = nullptr);

/* The window of class and title tag belonging to pid (0: any), or NULL. */
HWND FindGuardWindow(const std::wstring &tag, DWORD pid, DWORD timeoutMs);

/* SendMessageTimeoutW to the guard's window; *delivered tells whether it was
   answered in time. */
LRESULT SendToGuard(GuardProcess *guard, UINT message, WPARAM wParam, LPARAM lParam,
                    DWORD timeoutMs = 30000, bool *delivered = nullptr);

/* Sends WM_CLOSE and waits for the exit (not for holdAtExit; use
   WaitChildAtExit then). */
bool CloseGuard(GuardProcess *guard, DWORD timeoutMs, DWORD *exitCode);

/* Ends whatever still runs and removes the settings made for the run. */
void DisposeGuard(GuardProcess *guard);

/* The texts after the tag of every line the guard traced; a line that does
   not start with the tag is kept whole, marked with "!". */
std::vector<std::wstring> GuardLines(GuardProcess *guard);

/* What a logon does for the program of the HKLM and HKCU
   "...\CurrentVersion\Run" values called name. Under Wine that is a plain
   wineboot, which starts every Run value (waited for); on Windows the harness
   starts that value's command line alone, as the shell does, and leaves the
   test machine's other logon programs be. False with the reason in *error. */
bool RunLogonPrograms(const std::wstring &name, std::wstring *error);

/* The mutex name the guard uses for a port under the given prefix. */
std::wstring PortMutexName(const std::wstring &prefix, const std::wstring &tag, ULONG_PTR hPort);

#endif /* GUARD_HARNESS_H */
