/*
 * What the power guard and the printer's port client agree on.
 *
 * The port client finds the guard's hidden top-level window by its class name
 * (or title; both are the guard's build tag), registers each of its ports with
 * WM_POWREGISTER and forgets them with WM_POWUNREGISTER. For every registered
 * port the guard keeps a named hardware-access mutex:
 *
 *     <prefix><TAG>.HardwareAccess.<hPort as 16 lower-case hex digits>
 *
 * where <prefix> is "Global\\" on NT platforms after version 4 and empty
 * before. The client holds a port's mutex while it touches that port's
 * hardware. Before the machine sleeps the guard takes all of them in one wait
 * and keeps them until resume, so a client asking for one then waits.
 *
 * Plain C; needs nothing but <windows.h>.
 */
#ifndef PORT_CLIENT_H
#define PORT_CLIENT_H

#include <windows.h>

/* wParam = hPort (the client's pointer-sized port value), lParam unused, result 0. */
#define WM_POWREGISTER    (WM_USER + 125)   /* 0x047D */
#define WM_POWUNREGISTER  (WM_USER + 126)   /* 0x047E */

/* The guard builds; one belongs to each driver variant. */
#define POWER_GUARD_TAG_TAVRIKEN  L"TAVRIKEN"
#define POWER_GUARD_TAG_SOLMEDAR  L"SOLMEDAR"
#define POWER_GUARD_TAG_BRAXUNET  L"BRAXUNET"
#define POWER_GUARD_TAG_LENGTH    8

/* Parts of a hardware-access mutex name. */
#define POWER_GUARD_GLOBAL_PREFIX     L"Global\\"
#define POWER_GUARD_MUTEX_INFIX       L".HardwareAccess."
#define POWER_GUARD_PORT_DIGITS       16
/* Arguments: prefix, tag followed by the infix, hPort. "%ls" is a wide
   string under every C runtime, whether it reads "%s" in a wide format as
   wide (Microsoft's _snwprintf) or as narrow (ISO swprintf, as mingw-w64's
   C++ library selects); "%016Ix" is the pointer-sized hex both know. */
#define POWER_GUARD_MUTEX_NAME_FORMAT L"%ls%ls%016Ix"

/* Longest name, terminator included: prefix, tag, infix, digits. */
#define POWER_GUARD_MUTEX_NAME_UNITS  (7 + POWER_GUARD_TAG_LENGTH + 16 + POWER_GUARD_PORT_DIGITS + 1)

#endif /* PORT_CLIENT_H */
