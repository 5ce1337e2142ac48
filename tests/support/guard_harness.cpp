/*
 * The real power guard under test. The reported version is a per-program
 * setting of Wine's, so for a run that needs one the program is copied under
 * a name of its own and the setting made for that name only.
 */
#include "guard_harness.h"

#include <stdio.h>
#include "test_paths.h"

static const wchar_t kAppDefaults[] = L"Software\\Wine\\AppDefaults\\";

static bool SetReportedVersion(GuardProcess *guard, const std::wstring &version, std::wstring *error)
{
    std::wstring dir = TempDirFor(L"guard-" + version);
    std::wstring name = guard->tag + L"-" + version + L"-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    std::wstring copy = dir + L"\\" + name;
    if (!CopyFileW(guard->exePath.c_str(), copy.c_str(), FALSE)) {
        *error = L"cannot copy " + guard->exePath + L": error " + std::to_wstring(GetLastError());
        return false;
    }
    std::wstring key = kAppDefaults + name;
    HKEY h;
    LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &h, NULL);
    if (rc != ERROR_SUCCESS) {
        *error = L"cannot create " + key + L": " + std::to_wstring(rc);
        return false;
    }
    rc = RegSetValueExW(h, L"Version", 0, REG_SZ, (const BYTE *)version.c_str(),
                        (DWORD)((version.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS) {
        *error = L"cannot set the version: " + std::to_wstring(rc);
        return false;
    }
    guard->versionKey = key;
    guard->exePath = copy;
    return true;
}

HWND FindGuardWindow(const std::wstring &tag, DWORD pid, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = NULL;
        while ((window = FindWindowExW(NULL, window, tag.c_str(), tag.c_str())) != NULL) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (pid == 0 || owner == pid)
                return window;
        }
        if (GetTickCount() - start >= timeoutMs)
            return NULL;
        Sleep(20);
    }
}

bool StartGuard(GuardProcess *guard, const std::wstring &tag, const GuardOptions &options,
                std::wstring *error, bool *skip)
{
    std::wstring ignored;
    if (!error)
        error = &ignored;
    if (skip)
        *skip = false;
    guard->tag = tag;
    guard->exePath = DistPath(tag + L".exe");
    if (GetFileAttributesW(guard->exePath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        *error = L"missing " + guard->exePath;
        return false;
    }
    if (!options.reportedVersion.empty()) {
        if (!RunningOnWine()) {
            *error = L"this platform cannot be made to report version " + options.reportedVersion;
            if (skip)
                *skip = true;
            return false;
        }
        if (!SetReportedVersion(guard, options.reportedVersion, error))
            return false;
    }
    ChildOptions co;
    co.holdAtExit = options.holdAtExit;
    co.showState = options.showState;
    guard->child = StartDebugChild(Quote(guard->exePath), co, error);
    if (!guard->child)
        return false;
    if (options.waitForWindow) {
        guard->window = FindGuardWindow(tag, ChildProcessId(guard->child), 15000);
        if (!guard->window) {
            *error = L"no window of class " + tag + L" within 15 s; trace:\n" + JoinLines(ChildLines(guard->child));
            return false;
        }
    }
    return true;
}

LRESULT SendToGuard(GuardProcess *guard, UINT message, WPARAM wParam, LPARAM lParam,
                    DWORD timeoutMs, bool *delivered)
{
    DWORD_PTR result = 0;
    LRESULT ok = SendMessageTimeoutW(guard->window, message, wParam, lParam,
                                     SMTO_NORMAL, timeoutMs, &result);
    if (delivered)
        *delivered = ok != 0;
    return (LRESULT)result;
}

bool CloseGuard(GuardProcess *guard, DWORD timeoutMs, DWORD *exitCode)
{
    bool delivered = false;
    SendToGuard(guard, WM_CLOSE, 0, 0, timeoutMs, &delivered);
    if (!delivered)
        return false;
    return WaitChildExit(guard->child, timeoutMs, exitCode);
}

void DisposeGuard(GuardProcess *guard)
{
    if (guard->child) {
        CloseDebugChild(guard->child);
        guard->child = nullptr;
    }
    if (!guard->versionKey.empty()) {
        RegDeleteKeyW(HKEY_CURRENT_USER, guard->versionKey.c_str());
        DeleteFileW(guard->exePath.c_str());
        std::wstring dir = guard->exePath.substr(0, guard->exePath.find_last_of(L'\\'));
        RemoveDirectoryW(dir.c_str());
        guard->versionKey.clear();
    }
    guard->window = NULL;
}

std::vector<std::wstring> GuardLines(GuardProcess *guard)
{
    std::vector<std::wstring> out;
    for (const std::wstring &line : ChildLines(guard->child)) {
        if (line.compare(0, guard->tag.size(), guard->tag) == 0)
            out.push_back(line.substr(guard->tag.size()));
        else
            out.push_back(L"!" + line);
    }
    return out;
}

bool RunLogonPrograms(const std::wstring &name, std::wstring *error)
{
    DWORD code = 0;
    bool started = false;
    if (RunningOnWine()) {
        if (RunProcess(L"wineboot.exe", 60000, &code) && code == 0)
            return true;
        *error = L"wineboot did not end with 0 within 60 s (exit code " + std::to_wstring(code) + L")";
        return false;
    }
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        /* The value whole, whatever its length; REG_EXPAND_SZ comes expanded. */
        std::vector<wchar_t> command(256);
        DWORD bytes = 0;
        LONG rc;
        PROCESS_INFORMATION pi;
        do {
            command.resize(command.size() + bytes / sizeof(wchar_t));
            bytes = (DWORD)(command.size() * sizeof(wchar_t));
            rc = RegGetValueW(root, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", name.c_str(),
                              RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, NULL, command.data(), &bytes);
        } while (rc == ERROR_MORE_DATA);
        if (rc != ERROR_SUCCESS)
            continue;
        if (!StartProcess(command.data(), &pi)) {
            *error = L"cannot start the Run value " + name + L": " + command.data();
            return false;
        }
        CloseHandle(pi.hThread), CloseHandle(pi.hProcess);
        started = true;
    }
    if (!started)
        *error = L"no Run value " + name + L" in HKLM or HKCU";
    return started;
}

std::wstring PortMutexName(const std::wstring &prefix, const std::wstring &tag, ULONG_PTR hPort)
{
    wchar_t digits[32];
    swprintf(digits, 32, L"%016llx", (unsigned long long)hPort);
    return prefix + tag + L".HardwareAccess." + digits;
}
