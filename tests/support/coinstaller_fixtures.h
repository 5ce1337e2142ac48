/*
 * Test support for the printer co-installer: real print queues in the
 * spooler, user hives made under HKEY_USERS (and keys added to existing
 * ones), snapshots of every hive's printer keys, and runs of the stand-in
 * device installer under the debugger loop. Everything a fixture makes it
 * removes again, and every value it may change it puts back.
 */
#ifndef COINSTALLER_FIXTURES_H
#define COINSTALLER_FIXTURES_H

#include <windows.h>
#include <map>
#include <string>
#include <vector>

extern const wchar_t *const kDevicesPath;   /* Software\...\CurrentVersion\Devices */
extern const wchar_t *const kWindowsPath;   /* Software\...\CurrentVersion\Windows */

/* ---- print queues (wineps.drv as the driver's files) ---- */
struct QueueFixture {
    std::vector<std::wstring> drivers;
    std::vector<std::wstring> printers;
};
bool AddQueueDriver(QueueFixture &fixture, const std::wstring &driverName, std::wstring *error);
bool AddQueue(QueueFixture &fixture, const std::wstring &printerName, const std::wstring &driverName,
              const std::wstring &portName, std::wstring *error);
void RemoveQueues(QueueFixture &fixture);

struct QueueInfo {
    std::wstring printer, driver, port;
};
std::vector<QueueInfo> ListQueues(void);   /* EnumPrintersW(6, level 2) in the spooler's order */

/* ---- registry ---- */
struct RegValue {
    DWORD type;
    std::vector<BYTE> data;
    bool operator==(const RegValue &o) const { return type == o.type && data == o.data; }
};
typedef std::map<std::wstring, RegValue> RegValues;

RegValue SzValue(const std::wstring &text);                 /* REG_SZ, terminator counted */
std::wstring ValueText(const RegValue &value);             /* for messages */
bool ReadValues(HKEY root, const std::wstring &path, RegValues *values);   /* false: no key */
std::vector<std::wstring> UserKeyNames(void);              /* subkeys of HKEY_USERS, in order */

/* Keys made under HKEY_USERS for a test: only keys that did not exist are
   deleted afterwards; values set in existing keys are restored. */
struct HiveFixture {
    std::vector<std::wstring> createdKeys;   /* HKEY_USERS-relative, outermost new key */
    struct Saved { std::wstring path, name; bool existed; RegValue value; };
    std::vector<Saved> saved;
};
bool CreateUserKey(HiveFixture &fixture, const std::wstring &path, std::wstring *error);
/* Sets a value (saving the old one); data given as raw bytes. */
bool SetUserValue(HiveFixture &fixture, const std::wstring &path, const std::wstring &name,
                  DWORD type, const void *data, DWORD bytes, std::wstring *error);
bool SetUserString(HiveFixture &fixture, const std::wstring &path, const std::wstring &name,
                   const std::wstring &text, std::wstring *error);
/* A REG_SZ whose stored data has no terminating zero. */
bool SetUserStringUnterminated(HiveFixture &fixture, const std::wstring &path, const std::wstring &name,
                               const std::wstring &text, std::wstring *error);
/* A REG_SZ of the text and one byte more ('Y'), without terminator: an odd
   byte count, ending in half a unit. */
bool SetUserStringOddSized(HiveFixture &fixture, const std::wstring &path, const std::wstring &name,
                           const std::wstring &text, std::wstring *error);
/* Saves the "Device" value of every hive (put back by RemoveUserKeys). */
void SaveDeviceValues(HiveFixture &fixture);
void RemoveUserKeys(HiveFixture &fixture);

/* The Devices and Windows keys of every hive under HKEY_USERS. */
struct HiveState {
    bool hasDevices, hasWindows;
    RegValues devices, windows;
};
typedef std::map<std::wstring, HiveState> HiveSnapshot;
HiveSnapshot SnapshotHives(void);

/* ---- the stand-in device installer ---- */
struct InstallerRun {
    bool started;
    DWORD exitCode;
    std::vector<std::wstring> traces;      /* the co-installer's lines, tag prefix kept */
    std::vector<std::wstring> allLines;    /* every debug line of the child */
    std::vector<std::wstring> report;      /* the tool's own report lines */
    std::vector<DWORD> exceptions;         /* first-chance exceptions of the child */
    std::wstring error;
};
/* Runs device_installer.exe with the arguments (a log file is added) under
   the debugger loop, in workingDirectory when one is given, and collects its
   lines; tagPrefix selects the traces. */
InstallerRun RunDeviceInstaller(const std::wstring &arguments, const std::wstring &tagPrefix,
                                DWORD timeoutMs = 60000, const std::wstring &workingDirectory = L"");
bool ReportHas(const InstallerRun &run, const std::wstring &line);

/* No ROOT\PRINTER device registered (none left behind). */
bool NoPrinterDevicesLeft(std::wstring *found);
/* Removes every ROOT\PRINTER device, with its INF copy, through the
   stand-in: what a test stopped early left. Their IDs go to *found, those
   that stay to *stayed. */
void RemovePrinterDevices(std::vector<std::wstring> *found, std::vector<std::wstring> *stayed);

#endif /* COINSTALLER_FIXTURES_H */
