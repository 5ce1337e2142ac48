/*
 * Print queues, user hives, snapshots and installer runs for the printer
 * co-installer's tests (see coinstaller_fixtures.h).
 */
#include "coinstaller_fixtures.h"

#include <winspool.h>
#include <fstream>

#include "child_process.h"
#include "device_setup.h"
#include "test_paths.h"

const wchar_t *const kDevicesPath = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
const wchar_t *const kWindowsPath = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

static std::wstring ErrorText(const wchar_t *what, DWORD code)
{
    return std::wstring(what) + L" failed with error " + std::to_wstring(code);
}

/* ---- print queues ---- */

bool AddQueueDriver(QueueFixture &fixture, const std::wstring &driverName, std::wstring *error)
{
    DWORD code = AddSpoolerDriver(driverName.c_str());
    if (code != NO_ERROR && error)
        *error = ErrorText(L"AddPrinterDriverExW", code);
    if (code == NO_ERROR)
        fixture.drivers.push_back(driverName);
    return code == NO_ERROR;
}

bool AddQueue(QueueFixture &fixture, const std::wstring &printerName, const std::wstring &driverName,
              const std::wstring &portName, std::wstring *error)
{
    DWORD code = AddSpoolerQueue(printerName.c_str(), driverName.c_str(), portName.c_str());
    if (code != NO_ERROR && error)
        *error = ErrorText(L"AddPrinterW", code);
    if (code == NO_ERROR)
        fixture.printers.push_back(printerName);
    return code == NO_ERROR;
}

void RemoveQueues(QueueFixture &fixture)
{
    for (const std::wstring &name : fixture.printers)
        DeleteSpoolerQueue(name.c_str());
    fixture.printers.clear();
    for (const std::wstring &name : fixture.drivers)
        DeletePrinterDriverW(NULL, NULL, const_cast<wchar_t *>(name.c_str()));
    fixture.drivers.clear();
}

std::vector<QueueInfo> ListQueues(void)
{
    std::vector<QueueInfo> queues;
    DWORD needed = 0, returned = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, NULL, 2, NULL, 0, &needed, &returned);
    if (needed == 0)
        return queues;
    std::vector<BYTE> buffer(needed);
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, NULL, 2, buffer.data(), needed,
                       &needed, &returned))
        return queues;
    const PRINTER_INFO_2W *info = (const PRINTER_INFO_2W *)buffer.data();
    for (DWORD i = 0; i < returned; i++) {
        QueueInfo q;
        q.printer = info[i].pPrinterName ? info[i].pPrinterName : L"";
        q.driver = info[i].pDriverName ? info[i].pDriverName : L"";
        q.port = info[i].pPortName ? info[i].pPortName : L"";
        queues.push_back(q);
    }
    return queues;
}

/* ---- registry ---- */

RegValue SzValue(const std::wstring &text)
{
    RegValue v;
    v.type = REG_SZ;
    const BYTE *bytes = (const BYTE *)text.c_str();
    v.data.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
    return v;
}

std::wstring ValueText(const RegValue &value)
{
    std::wstring text = L"type " + std::to_wstring(value.type) + L", " + std::to_wstring(value.data.size()) +
                        L" bytes: \"";
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
        wchar_t c = (wchar_t)(value.data[i] | (value.data[i + 1] << 8));
        text += c ? std::wstring(1, c) : std::wstring(L"\\0");
    }
    return text + L"\"";
}

bool ReadValues(HKEY root, const std::wstring &path, RegValues *values)
{
    HKEY key;
    values->clear();
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    for (DWORD index = 0;; index++) {
        wchar_t name[16384];
        DWORD nameLength = 16384, type = 0, bytes = 0;
        LONG status = RegEnumValueW(key, index, name, &nameLength, NULL, &type, NULL, &bytes);
        if (status != ERROR_SUCCESS)
            break;
        RegValue v;
        v.type = type;
        v.data.resize(bytes);
        nameLength = 16384;
        if (RegEnumValueW(key, index, name, &nameLength, NULL, &type, v.data.data(), &bytes) == ERROR_SUCCESS) {
            v.data.resize(bytes);
            (*values)[name] = v;
        }
    }
    RegCloseKey(key);
    return true;
}

std::vector<std::wstring> UserKeyNames(void)
{
    std::vector<std::wstring> names;
    for (DWORD index = 0;; index++) {
        wchar_t name[300];
        DWORD length = 300;
        if (RegEnumKeyExW(HKEY_USERS, index, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    return names;
}

static bool KeyExists(const std::wstring &path)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_USERS, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool CreateUserKey(HiveFixture &fixture, const std::wstring &path, std::wstring *error)
{
    /* Find the outermost part of the path that is new, to delete it later. */
    size_t from = 0;
    while (from <= path.size()) {
        size_t cut = path.find(L'\\', from);
        std::wstring part = path.substr(0, cut);
        if (!KeyExists(part)) {
            fixture.createdKeys.push_back(part);
            break;
        }
        if (cut == std::wstring::npos)
            break;
        from = cut + 1;
    }
    HKEY key;
    LONG status = RegCreateKeyExW(HKEY_USERS, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
    if (status != ERROR_SUCCESS) {
        if (error)
            *error = ErrorText((L"RegCreateKeyExW(HKEY_USERS\\" + path + L")").c_str(), status);
        return false;
    }
    RegCloseKey(key);
    return true;
}

static void SaveValue(HiveFixture &fixture, const std::wstring &path, const std::wstring &name)
{
    for (const HiveFixture::Saved &s : fixture.saved)
        if (s.path == path && s.name == name)
            return;
    HiveFixture::Saved s;
    s.path = path;
    s.name = name;
    s.existed = false;
    RegValues values;
    if (ReadValues(HKEY_USERS, path, &values) && values.count(name)) {
        s.existed = true;
        s.value = values[name];
    }
    fixture.saved.push_back(s);
}

bool SetUserValue(HiveFixture &fixture, const std::wstring &path, const std::wstring &name,
                  DWORD type, const void *data, DWORD bytes, std::wstring *error)
{
    if (!CreateUserKey(fixture, path, error))
        return false;
    SaveValue(fixture, path, name);
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_USERS, path.c_str(), 0, KEY_SET_VALUE, &key);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, name.c_str(), 0, type, (const BYTE *)data, bytes);
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS && error)
        *error = ErrorText((L"setting " + path + L" " + name).c_str(), status);
    return status == ERROR_SUCCESS;
}

bool SetUserString(HiveFixture &fixture, const std::wstring &path, const std::wstring &name,
                   const std::wstring &text, std::wstring *error)
{
    return SetUserValue(fixture, path, name, REG_SZ, text.c_str(),
                        (DWORD)((text.size() + 1) * sizeof(wchar_t)), error);
}

bool SetUserStringUnterminated(HiveFixture &fixture, const std::wstring &path, const std::wstring &name,
                               const std::wstring &text, std::wstring *error)
{
    /* A non-zero unit after the counted data keeps the registry from adding
       a terminator of its own. */
    std::wstring data = text + L"X";
    if (!SetUserValue(fixture, path, name, REG_SZ, data.c_str(), (DWORD)(text.size() * sizeof(wchar_t)), error))
        return false;
    RegValues values;
    ReadValues(HKEY_USERS, path, &values);
    if (values[name].data.size() != text.size() * sizeof(wchar_t)) {
        if (error)
            *error = L"the registry stored " + std::to_wstring(values[name].data.size()) + L" bytes, not " +
                     std::to_wstring(text.size() * sizeof(wchar_t));
        return false;
    }
    return true;
}

bool SetUserStringOddSized(HiveFixture &fixture, const std::wstring &path, const std::wstring &name,
                           const std::wstring &text, std::wstring *error)
{
    /* The unit after the text is 'Y': its low byte is the odd one counted,
       and, being non-zero, it keeps the registry from adding a terminator. */
    std::wstring data = text + L"Y";
    DWORD bytes = (DWORD)(text.size() * sizeof(wchar_t) + 1);
    if (!SetUserValue(fixture, path, name, REG_SZ, data.c_str(), bytes, error))
        return false;
    RegValues values;
    ReadValues(HKEY_USERS, path, &values);
    if (values[name].data.size() != bytes || values[name].data.back() != 'Y') {
        if (error)
            *error = L"the registry stored " + std::to_wstring(values[name].data.size()) + L" bytes, not " +
                     std::to_wstring(bytes) + L" ending in 'Y'";
        return false;
    }
    return true;
}

void SaveDeviceValues(HiveFixture &fixture)
{
    for (const std::wstring &user : UserKeyNames()) {
        std::wstring path = user + L"\\" + kWindowsPath;
        if (KeyExists(path))
            SaveValue(fixture, path, L"Device");
    }
}

void RemoveUserKeys(HiveFixture &fixture)
{
    for (auto it = fixture.saved.rbegin(); it != fixture.saved.rend(); ++it) {
        HKEY key;
        if (RegOpenKeyExW(HKEY_USERS, it->path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            continue;
        if (it->existed)
            RegSetValueExW(key, it->name.c_str(), 0, it->value.type, it->value.data.data(),
                           (DWORD)it->value.data.size());
        else
            RegDeleteValueW(key, it->name.c_str());
        RegCloseKey(key);
    }
    fixture.saved.clear();
    for (auto it = fixture.createdKeys.rbegin(); it != fixture.createdKeys.rend(); ++it)
        RegDeleteTreeW(HKEY_USERS, it->c_str()), RegDeleteKeyW(HKEY_USERS, it->c_str());
    fixture.createdKeys.clear();
}

HiveSnapshot SnapshotHives(void)
{
    HiveSnapshot snapshot;
    for (const std::wstring &user : UserKeyNames()) {
        HiveState state;
        state.hasDevices = ReadValues(HKEY_USERS, user + L"\\" + kDevicesPath, &state.devices);
        state.hasWindows = ReadValues(HKEY_USERS, user + L"\\" + kWindowsPath, &state.windows);
        snapshot[user] = state;
    }
    return snapshot;
}

/* ---- the stand-in device installer ---- */

static std::vector<std::wstring> ReadLogLines(const std::wstring &path)
{
    std::vector<std::wstring> lines;
    FILE *file = _wfopen(path.c_str(), L"r");
    if (file == NULL)
        return lines;
    char buffer[4096];
    while (fgets(buffer, sizeof(buffer), file)) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        int n = MultiByteToWideChar(CP_UTF8, 0, line.c_str(), (int)line.size(), NULL, 0);
        std::wstring wide(n, L'\0');
        if (n > 0)
            MultiByteToWideChar(CP_UTF8, 0, line.c_str(), (int)line.size(), &wide[0], n);
        lines.push_back(wide);
    }
    fclose(file);
    return lines;
}

InstallerRun RunDeviceInstaller(const std::wstring &arguments, const std::wstring &tagPrefix, DWORD timeoutMs,
                                const std::wstring &workingDirectory)
{
    InstallerRun run;
    run.started = false;
    run.exitCode = (DWORD)-1;
    std::wstring dir = TempDirFor(L"device-installer");
    std::wstring log = dir + L"\\report.txt";
    std::wstring command = Quote(ToolPath(L"device_installer.exe")) + L" " + arguments + L" --log " + Quote(log);
    ChildOptions options;
    options.workingDirectory = workingDirectory;
    DebugChild *child = StartDebugChild(command, options, &run.error);
    if (child == NULL)
        return run;
    run.started = true;
    if (!WaitChildExit(child, timeoutMs, &run.exitCode))
        run.error = L"device_installer did not end within " + std::to_wstring(timeoutMs) + L" ms";
    run.allLines = ChildLines(child);
    run.exceptions = ChildExceptions(child);
    CloseDebugChild(child);
    for (const std::wstring &line : run.allLines)
        if (line.compare(0, tagPrefix.size(), tagPrefix) == 0)
            run.traces.push_back(line);
    run.report = ReadLogLines(log);
    DeleteFileW(log.c_str());
    RemoveDirectoryW(dir.c_str());
    return run;
}

bool ReportHas(const InstallerRun &run, const std::wstring &line)
{
    for (const std::wstring &l : run.report)
        if (l == line)
            return true;
    return false;
}

bool NoPrinterDevicesLeft(std::wstring *found)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PRINTER", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return true;
    wchar_t name[256];
    DWORD length = 256;
    bool none = RegEnumKeyExW(key, 0, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS;
    if (!none && found)
        *found = name;
    RegCloseKey(key);
    return none;
}

void RemovePrinterDevices(std::vector<std::wstring> *found, std::vector<std::wstring> *stayed)
{
    std::wstring name;
    while (!NoPrinterDevicesLeft(&name) && found->size() < 64) {
        std::wstring id = L"ROOT\\PRINTER\\" + name;
        found->push_back(id);
        /* An INF copy another of them uses goes with the last of them; a
           device whose copy cannot be named is removed without it. */
        InstallerRun run = RunDeviceInstaller(L"--remove-device " + Quote(id) + L" --delete-inf --timeout 60", L"");
        if (!ReportHas(run, L"device removed: " + id))
            run = RunDeviceInstaller(L"--remove-device " + Quote(id) + L" --timeout 60", L"");
        if (!ReportHas(run, L"device removed: " + id)) {
            stayed->push_back(id + L": " + (run.report.empty() ? run.error : run.report.back()));
            return;
        }
    }
}
