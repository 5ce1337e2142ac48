/*
 * What an interrupted test run left on the machine, removed (see leftovers.h).
 */
#include "leftovers.h"

#include <windows.h>
#include <winspool.h>
#include <tlhelp32.h>
#include <wchar.h>

#include "coinstaller_fixtures.h"
#include "device_setup.h"
#include "guard_harness.h"
#include "test_paths.h"

static const wchar_t *const kGuardTags[] = {L"TAVRIKEN", L"SOLMEDAR", L"BRAXUNET"};
static const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
static const wchar_t kCoInstallersKey[] = L"SYSTEM\\CurrentControlSet\\Control\\CoDeviceInstallers";
static const wchar_t kPrinterClass[] = L"{4d36e979-e325-11ce-bfc1-08002be10318}";
static const wchar_t kPrinterDevices[] = L"SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PRINTER";

/* Queues and drivers as the tests name them. */
static bool TestPrinterName(const std::wstring &name)
{
    for (const wchar_t *prefix : {L"Coinst ", L"Unit Test ", L"Companions Package Queue", L"Printer Companions Sample"})
        if (name.compare(0, wcslen(prefix), prefix) == 0)
            return true;
    return false;
}

static std::vector<std::wstring> SubkeyNames(HKEY root, const wchar_t *path)
{
    std::vector<std::wstring> names;
    HKEY key;
    wchar_t name[256];
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0, length = 256; RegEnumKeyExW(key, i, name, &length, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
         i++, length = 256)
        names.push_back(name);
    RegCloseKey(key);
    return names;
}

static bool Exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

static void RemoveFile(const std::wstring &path, std::vector<std::wstring> *found, std::vector<std::wstring> *stayed)
{
    if (!Exists(path))
        return;
    found->push_back(path);
    if (!DeleteFileW(path.c_str()) && Exists(path))
        stayed->push_back(path + L" (error " + std::to_wstring(GetLastError()) + L")");
}

void RemovePrinterDevices(std::vector<std::wstring> *found, std::vector<std::wstring> *stayed)
{
    for (const std::wstring &n : SubkeyNames(HKEY_LOCAL_MACHINE, kPrinterDevices)) {
        std::wstring id = L"ROOT\\PRINTER\\" + n;
        found->push_back(id);
        /* An INF copy another of them still uses is deleted with the last. */
        InstallerRun run = RunDeviceInstaller(L"--remove-device " + Quote(id) + L" --delete-inf --timeout 60", L"",
                                              90000);
        /* One whose INF copy cannot be named is kept by --delete-inf: removed without. */
        if (!ReportHas(run, L"device removed: " + id))
            run = RunDeviceInstaller(L"--remove-device " + Quote(id) + L" --timeout 60", L"", 90000);
        if (!ReportHas(run, L"device removed: " + id))
            stayed->push_back(id + L": " + (run.report.empty() ? run.error : run.report.back()));
    }
}

/* Every guard window of the shipped tags closed, its process ended. */
static void EndGuards(std::vector<std::wstring> *found, std::vector<std::wstring> *stayed)
{
    for (const wchar_t *tag : kGuardTags) {
        for (int attempt = 0; attempt < 10; attempt++) {
            HWND window = FindGuardWindow(tag, 0, 0);
            DWORD pid = 0;
            if (window == NULL)
                break;
            GetWindowThreadProcessId(window, &pid);
            HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
            if (attempt == 0)
                found->push_back(std::wstring(L"a running ") + tag + L" guard");
            PostMessageW(window, WM_CLOSE, 0, 0);
            if (process != NULL && WaitForSingleObject(process, 5000) != WAIT_OBJECT_0)
                TerminateProcess(process, 1), WaitForSingleObject(process, 5000);
            if (process != NULL)
                CloseHandle(process);
        }
        if (FindGuardWindow(tag, 0, 0) != NULL)
            stayed->push_back(std::wstring(L"a running ") + tag + L" guard");
    }
}

/* The soak's client processes, which run until told to stop. */
static void EndSoakClients(std::vector<std::wstring> *found, std::vector<std::wstring> *stayed)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, L"soak_client.exe") != 0)
            continue;
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
        found->push_back(L"a soak client, process " + std::to_wstring(entry.th32ProcessID));
        if (process == NULL || !TerminateProcess(process, 1) || WaitForSingleObject(process, 5000) != WAIT_OBJECT_0)
            stayed->push_back(L"a soak client, process " + std::to_wstring(entry.th32ProcessID));
        if (process != NULL)
            CloseHandle(process);
    }
    CloseHandle(snapshot);
}

static void RemoveQueuesAndDrivers(std::vector<std::wstring> *found, std::vector<std::wstring> *stayed)
{
    for (const QueueInfo &queue : ListQueues())
        if (TestPrinterName(queue.printer)) {
            found->push_back(L"queue " + queue.printer);
            DeleteSpoolerQueue(queue.printer.c_str());
        }
    DWORD needed = 0, count = 0;
    EnumPrinterDriversW(NULL, NULL, 1, NULL, 0, &needed, &count);
    std::vector<BYTE> buffer(needed + 1);
    if (needed == 0 || !EnumPrinterDriversW(NULL, NULL, 1, buffer.data(), needed, &needed, &count))
        count = 0;
    for (DWORD i = 0; i < count; i++) {
        std::wstring name = ((DRIVER_INFO_1W *)buffer.data())[i].pName;
        if (!TestPrinterName(name))
            continue;
        found->push_back(L"driver " + name);
        if (!DeletePrinterDriverW(NULL, NULL, &name[0]))
            stayed->push_back(L"driver " + name + L" (error " + std::to_wstring(GetLastError()) + L")");
    }
    for (const QueueInfo &queue : ListQueues())
        if (TestPrinterName(queue.printer))
            stayed->push_back(L"queue " + queue.printer);
}

/* Values a test sets and puts back at its end. */
static void RemoveValues(std::vector<std::wstring> *found, std::vector<std::wstring> *stayed)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        for (const wchar_t *tag : kGuardTags)
            if (RegQueryValueExW(key, tag, NULL, NULL, NULL, NULL) == ERROR_SUCCESS) {
                found->push_back(std::wstring(L"Run value ") + tag);
                if (RegDeleteValueW(key, tag) != ERROR_SUCCESS)
                    stayed->push_back(std::wstring(L"Run value ") + tag);
            }
        RegCloseKey(key);
    }
    /* The Printer class's co-installer, when it names a file of this build. */
    std::vector<wchar_t> list(4096);
    DWORD bytes = (DWORD)(list.size() * sizeof(wchar_t) - 4);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCoInstallersKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        if (RegQueryValueExW(key, kPrinterClass, NULL, NULL, (BYTE *)list.data(), &bytes) == ERROR_SUCCESS &&
            _wcsnicmp(list.data(), DistPath(L"").c_str(), DistPath(L"").size()) == 0) {
            found->push_back(std::wstring(L"Printer class co-installer ") + list.data());
            if (RegDeleteValueW(key, kPrinterClass) != ERROR_SUCCESS)
                stayed->push_back(L"Printer class co-installer");
        }
        RegCloseKey(key);
    }
    /* Under Wine, the version a guard copy was made to see (by its name). */
    if (RunningOnWine())
        for (const std::wstring &name : SubkeyNames(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults"))
            for (const wchar_t *tag : kGuardTags)
                if (name.compare(0, wcslen(tag) + 1, std::wstring(tag) + L"-") == 0) {
                    found->push_back(L"AppDefaults\\" + name);
                    RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\Wine\\AppDefaults\\" + name).c_str());
                    RegDeleteKeyW(HKEY_CURRENT_USER, (L"Software\\Wine\\AppDefaults\\" + name).c_str());
                }
}

/* The sample package's files where its INF puts them, and the INF copies
   the stand-in's installations leave in the INF folder. */
static void RemoveFiles(std::vector<std::wstring> *found, std::vector<std::wstring> *stayed)
{
    wchar_t dir[MAX_PATH];
    DWORD needed = 0;
    std::wstring windows(dir, GetWindowsDirectoryW(dir, MAX_PATH)), system(dir, GetSystemDirectoryW(dir, MAX_PATH));
    std::wstring companions(dir, GetEnvironmentVariableW(L"ProgramFiles", dir, MAX_PATH));
    companions += L"\\Printer Companions";
    for (const wchar_t *tag : kGuardTags)
        RemoveFile(companions + L"\\" + tag + L".exe", found, stayed);
    RemoveDirectoryW(companions.c_str());
    for (const wchar_t *tag : {L"HELDRAVO", L"JUNTEPAS", L"WIRZOLAK"})
        RemoveFile(system + L"\\" + tag + L".dll", found, stayed);
    if (GetPrinterDriverDirectoryW(NULL, NULL, 1, (BYTE *)dir, sizeof(dir), &needed))
        RemoveFile(std::wstring(dir) + L"\\compsmpl.ppd", found, stayed);
    for (const wchar_t *name : {L"printer.inf", L"printer.pnf", L"failing.inf", L"failing.pnf"})
        RemoveFile(windows + L"\\inf\\" + name, found, stayed);
    /* The stand-in's generated INFs are prn<hex>.tmp. */
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((windows + L"\\inf\\prn*.tmp").c_str(), &entry);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &entry)) {
        std::wstring name = entry.cFileName;
        RemoveFile(windows + L"\\inf\\" + name, found, stayed);
        RemoveFile(windows + L"\\inf\\" + name.substr(0, name.size() - 4) + L".pnf", found, stayed);
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
}

bool RemoveTestLeftovers(std::vector<std::wstring> *found, std::vector<std::wstring> *stayed)
{
    EndGuards(found, stayed);
    EndSoakClients(found, stayed);
    RemovePrinterDevices(found, stayed);
    RemoveQueuesAndDrivers(found, stayed);
    RemoveValues(found, stayed);
    RemoveFiles(found, stayed);
    return stayed->empty();
}
