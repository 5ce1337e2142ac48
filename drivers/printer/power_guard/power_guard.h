/*
 * Declarations shared inside the power guard program: the build tag, the
 * trace and version probe, the port table and the message handlers.
 */
#ifndef POWER_GUARD_H
#define POWER_GUARD_H

#include <windows.h>
#include "port_client.h"

#ifdef GUARD_TEST_SEAMS
#include "guard_seams.h"   /* test build only: platform calls made to fail on demand */
#endif

/* BUILD_TAG is a bare word given by the build, e.g. TAVRIKEN. */
#define GUARD_WIDEN2(x) L##x
#define GUARD_WIDEN(x) GUARD_WIDEN2(x)
#define GUARD_STR2(x) #x
#define GUARD_STR(x) GUARD_STR2(x)
#define TAG GUARD_WIDEN(GUARD_STR(BUILD_TAG))

/* trace.cpp: trace, bounded name formatting, version probe and decisions */
#define TRACE_LINE_UNITS   498
#define OBJECT_NAME_BYTES  998

void DebugTrace(const wchar_t *format, ...);
HRESULT FormatObjectName(wchar_t *buffer, size_t bytes, const wchar_t *format, ...);
int GetOsVersion(void);
const wchar_t *GlobalPrefix(void);
BOOL IsNt6(void);

extern int g_nOsVersionKnown;
extern OSVERSIONINFOEXW g_osVersion;

/* security.cpp: attributes that let any account open the named objects */
SECURITY_ATTRIBUTES *PrepareOpenSecurity(SECURITY_DESCRIPTOR *sd, SECURITY_ATTRIBUTES *sa,
                                         const wchar_t *fmtInitFailed,
                                         const wchar_t *fmtDaclFailed,
                                         const wchar_t *fmtSuccess);

/* port_table.cpp */
#define STATUS_NOT_FOUND_HR  ((HRESULT)0x80070490)

struct PortEntry {
    ULONG_PTR hPort;
    HANDLE hMutex;
    PortEntry *next;
};

struct PortTable {
    PortEntry *head;
    int count;
};

extern PortTable g_portTable;

void ResetPortTable(void);
void FreePortTable(void);
void AddPort(ULONG_PTR hPort, HANDLE hMutex);
PortEntry *FindPort(ULONG_PTR hPort);
HRESULT GetPortAt(int position, ULONG_PTR *phPort, HANDLE *phMutex);
HRESULT RemovePort(ULONG_PTR hPort);
void Dump(const wchar_t *name);

/* registration.cpp */
int OnPowRegister(HWND window, WPARAM hPort, LPARAM lParam);
void OnPowUnregister(WPARAM hPort);

/* power_events.cpp */
const wchar_t *PbtEventName(WPARAM event);
LRESULT OnPowerBroadcast(HWND window, WPARAM event, LPARAM data);

/* main.cpp */
extern HANDLE g_hInstanceEvent;
LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif /* POWER_GUARD_H */
