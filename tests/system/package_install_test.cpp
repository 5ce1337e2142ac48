/*
 * The sample package TAVRIKEN-HELDRAVO installed from its INF by the stand-in
 * device installer through the real SetupAPI, then started by a logon and
 * taken away by its uninstall section: everything the INF promises. And its
 * catalog as the platform's own wintrust reads it.
 */
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <mscat.h>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

#include "child_process.h"
#include "coinstaller_fixtures.h"
#include "guard_harness.h"
#include "test_paths.h"

namespace {

const std::wstring kPackage = L"package\\TAVRIKEN-HELDRAVO\\";
const std::wstring kModel = L"Printer Companions Sample TAVRIKEN";   /* the INF's model */
const std::wstring kQueue = L"Companions Package Queue";
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

/* The installed file has the bytes the package ships (and it ships some). */
bool AsShipped(const std::wstring &installed, const std::wstring &shipped)
{
    std::ifstream a(Narrow(installed), std::ios::binary), b(Narrow(DistPath(kPackage + shipped)), std::ios::binary);
    std::string got((std::istreambuf_iterator<char>(a)), {}), want((std::istreambuf_iterator<char>(b)), {});
    return !want.empty() && got == want;
}

/* The Authenticode digest's ranges of a PE image, as the Authenticode format
   gives them: the headers without the checksum and the certificate table's
   directory entry, the sections in file order, then whatever follows them
   except the certificate table. Empty when it is no PE32+ image. */
std::vector<std::pair<size_t, size_t>> AuthenticodeRanges(const std::string &image)
{
    std::vector<std::pair<size_t, size_t>> ranges, sections;
    auto u16 = [&](size_t at) { return at + 2 <= image.size() ? *(const uint16_t *)&image[at] : 0; };
    auto u32 = [&](size_t at) { return at + 4 <= image.size() ? *(const uint32_t *)&image[at] : 0u; };
    size_t pe = u32(0x3C), opt = pe + 24, checksum = opt + 64, certEntry = opt + 144;
    if (image.compare(0, 2, "MZ") != 0 || u32(pe) != 0x4550 || u16(opt) != 0x20B)
        return ranges;
    size_t headers = u32(opt + 60), certAt = u32(certEntry), end = headers;
    size_t table = opt + u16(pe + 20), count = u16(pe + 6);
    ranges = {{0, checksum}, {checksum + 4, certEntry}, {certEntry + 8, headers}};
    for (size_t i = 0; i < count; i++)
        if (u32(table + 40 * i + 16) != 0)
            sections.push_back({u32(table + 40 * i + 20), u32(table + 40 * i + 16)});
    std::sort(sections.begin(), sections.end());
    for (const auto &section : sections) {
        ranges.push_back({section.first, section.first + section.second});
        end = std::max(end, section.first + section.second);
    }
    ranges.push_back({end, certAt != 0 ? certAt : image.size()});
    return ranges;
}

/* The tag a catalog gives a file, as upper-case hex: the hash (ALGORITHM,
   LENGTH bytes) of a PE image's Authenticode digest or of any other file's
   bytes; "" when it cannot be read. */
std::wstring MemberTag(const std::wstring &path, LPCWSTR algorithm, ULONG length)
{
    std::ifstream in(Narrow(path), std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::pair<size_t, size_t>> ranges = AuthenticodeRanges(data);
    if (ranges.empty())
        ranges = {{0, data.size()}};
    BCRYPT_ALG_HANDLE alg = NULL;
    BCRYPT_HASH_HANDLE hash = NULL;
    UCHAR digest[32];
    bool ok = in.good() || in.eof();
    std::wstring tag;
    ok = ok && length <= sizeof(digest) && BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg, algorithm, NULL, 0)) &&
         BCRYPT_SUCCESS(BCryptCreateHash(alg, &hash, NULL, 0, NULL, 0, 0));
    for (const auto &range : ranges)
        ok = ok && range.first <= range.second && range.second <= data.size() &&
             BCRYPT_SUCCESS(BCryptHashData(hash, (PUCHAR)data.data() + range.first,
                                           (ULONG)(range.second - range.first), 0));
    if (ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, length, 0)))
        for (ULONG i = 0; i < length; ++i) {
            wchar_t hex[3];
            swprintf(hex, 3, L"%02X", digest[i]);
            tag += hex;
        }
    if (hash != NULL)
        BCryptDestroyHash(hash);
    if (alg != NULL)
        BCryptCloseAlgorithmProvider(alg, 0);
    return tag;
}

class PackageInstall : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t dir[MAX_PATH], system[MAX_PATH];
        DWORD needed = 0;
        HKEY key;
        std::wstring error;
        ASSERT_TRUE(NoPrinterDevicesLeft(&leftover_)) << "a ROOT\\PRINTER device is registered: " << Narrow(leftover_);
        GetEnvironmentVariableW(L"ProgramFiles", dir, MAX_PATH);
        guardDir_ = std::wstring(dir) + L"\\Printer Companions";
        ASSERT_TRUE(GetSystemDirectoryW(system, MAX_PATH) &&
                    GetPrinterDriverDirectoryW(NULL, NULL, 1, (BYTE *)dir, sizeof(dir), &needed));
        files_ = {std::wstring(system) + L"\\HELDRAVO.dll", guardDir_ + L"\\TAVRIKEN.exe",
                  std::wstring(dir) + L"\\compsmpl.ppd"};
        Cleanup();   /* whatever an earlier run left; then neither file is there */
        ASSERT_EQ(GetFileAttributesW(files_[0].c_str()) & GetFileAttributesW(files_[1].c_str()),
                  INVALID_FILE_ATTRIBUTES);
        ASSERT_EQ(FindGuardWindow(L"TAVRIKEN", 0, 0), (HWND)NULL) << "a TAVRIKEN guard still runs";
        /* The co-installer sets Device only where the Windows key is. */
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kWindowsPath, 0, NULL, 0, KEY_READ, NULL, &key, &made_), 0);
        RegCloseKey(key);
        SaveDeviceValues(hives_);
        ASSERT_TRUE(AddQueueDriver(queues_, kModel, &error)) << Narrow(error);
        ASSERT_TRUE(AddQueue(queues_, kQueue, kModel, L"USB020", &error)) << Narrow(error);
    }
    void TearDown() override
    {
        Cleanup();
        RemoveQueues(queues_);
        RemoveUserKeys(hives_);
        if (made_ == REG_CREATED_NEW_KEY)
            RegDeleteKeyW(HKEY_CURRENT_USER, kWindowsPath);
    }
    /* Bounded twice: by the tool and by the harness. */
    InstallerRun Tool(const std::wstring &arguments, const std::wstring &folder = L"")
    {
        return RunDeviceInstaller(arguments + L" --timeout 60", L"HELDRAVO : ", 90000, folder);
    }
    void Cleanup()
    {
        for (int i = 0; i < 20 && FindGuardWindow(L"TAVRIKEN", 0, 0) != NULL; i++)
            PostMessageW(FindGuardWindow(L"TAVRIKEN", 0, 0), WM_CLOSE, 0, 0), Sleep(500);
        if (guard_ != NULL && WaitForSingleObject(guard_, 0) != WAIT_OBJECT_0)
            TerminateProcess(guard_, 1), WaitForSingleObject(guard_, 5000);
        if (guard_ != NULL)
            CloseHandle(guard_), guard_ = NULL;
        for (const std::wstring &id : deviceIds_)   /* one the test removed is not found: harmless */
            Tool(L"--remove-device " + Quote(id) + L" --delete-inf");
        deviceIds_.clear();
        /* Any other device: left by the tool (a fault) or by a test stopped
           before it noted it; named, and removed too. */
        std::vector<std::wstring> found, stayed;
        RemovePrinterDevices(&found, &stayed);
        EXPECT_TRUE(found.empty()) << "left behind: " << Narrow(found[0]);
        EXPECT_TRUE(stayed.empty()) << "cannot remove " << Narrow(stayed[0]);
        Tool(L"--uninstall-package " + Quote(Inf()));
        for (const std::wstring &file : files_)
            DeleteFileW(file.c_str());
        /* The INF copies, should the last device's removal have left them. */
        for (const wchar_t *name : {L"printer.inf", L"printer.pnf", L"failing.inf", L"failing.pnf"})
            DeleteFileW((Windows() + L"\\inf\\" + name).c_str());
        RemoveDirectoryW(guardDir_.c_str());
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, L"TAVRIKEN");
    }
    static std::wstring Inf() { return DistPath(kPackage + L"printer.inf"); }
    static std::wstring Windows()
    {
        wchar_t dir[MAX_PATH];
        return std::wstring(dir, GetWindowsDirectoryW(dir, MAX_PATH));
    }
    /* The devices the tool reports it made, from an installation's report. */
    void NoteDevices(const InstallerRun &run)
    {
        for (const std::wstring &line : run.report)
            if (line.compare(0, 8, L"device: ") == 0)
                deviceIds_.push_back(line.substr(8));
    }

    std::wstring guardDir_, leftover_;
    std::vector<std::wstring> deviceIds_;   /* removed by Cleanup */
    std::vector<std::wstring> files_;   /* the DLL in the system folder, the guard, the printer's PPD */
    DWORD made_ = 0;
    QueueFixture queues_;
    HiveFixture hives_;
    HANDLE guard_ = NULL;
};

}  // namespace

TEST_F(PackageInstall, InstallsTheCompanionsStartsTheGuardAtLogonAndTheUninstallSectionRemovesIt)
{
    InstallerRun run = Tool(L"--install-package " + Quote(Inf()) + L" --port USB020");
    NoteDevices(run);
    std::string report = Narrow(JoinLines(run.report) + run.error), traces = Narrow(JoinLines(run.traces));
    ASSERT_EQ(run.exitCode, 0u) << report;
    for (const std::wstring &line : {L"model: " + kModel, std::wstring(L"installation: installed (0x00000000)"),
                                     std::wstring(L"SetupDiCallClassInstaller(DIF_INSTALLDEVICE) = TRUE"),
                                     std::wstring(L"CoInstallers32 = REG_MULTI_SZ \"HELDRAVO.dll,CoInstallerE\"")})
        EXPECT_TRUE(ReportHas(run, line)) << Narrow(line) << " not in\n" << report;

    /* The package's files where the INF puts them; SetupAPI called the
       co-installer on the way down, the post-processing call came once,
       after it, and found the queue. */
    EXPECT_TRUE(AsShipped(files_[0], L"HELDRAVO.dll")) << Narrow(files_[0]);
    EXPECT_TRUE(AsShipped(files_[1], L"TAVRIKEN.exe")) << Narrow(files_[1]);
    EXPECT_TRUE(AsShipped(files_[2], L"compsmpl.ppd")) << Narrow(files_[2]);
    auto at = [&](const std::wstring &line) {
        return (size_t)(std::find(run.traces.begin(), run.traces.end(), line) - run.traces.begin());
    };
    const std::wstring post = L"HELDRAVO : DIF_INSTALLDEVICE PostProcessing\n";
    EXPECT_LT(at(L"HELDRAVO : DIF_INSTALLDEVICE\n"), at(post)) << traces;
    EXPECT_EQ(std::count(run.traces.begin(), run.traces.end(), post), 1) << traces;
    EXPECT_LT(at(L"HELDRAVO : FOUND : Printer Name = \"" + kQueue + L"\" Model Name = \"" + kModel +
                 L"\" Port Name = \"USB020\"\n"), run.traces.size()) << traces;

    /* The Run value (REG_SZ, the quoted path); the queue is the current
       user's default, "<queue>,<its Devices value>". */
    RegValues runValues, devices, windows;
    ReadValues(HKEY_LOCAL_MACHINE, kRunKey, &runValues);
    EXPECT_TRUE(runValues[L"TAVRIKEN"] == SzValue(Quote(files_[1]))) << Narrow(ValueText(runValues[L"TAVRIKEN"]));
    ASSERT_TRUE(ReadValues(HKEY_CURRENT_USER, kDevicesPath, &devices) && devices.count(kQueue));
    ReadValues(HKEY_CURRENT_USER, kWindowsPath, &windows);
    const std::vector<BYTE> &known = devices[kQueue].data;
    std::wstring device = kQueue + L"," + std::wstring((const wchar_t *)known.data(), known.size() / 2).c_str();
    EXPECT_TRUE(windows[L"Device"] == SzValue(device)) << Narrow(ValueText(windows[L"Device"]) + L", not " + device);

    ASSERT_EQ(deviceIds_.size(), 1u) << report;
    InstallerRun removal = Tool(L"--remove-device " + Quote(deviceIds_[0]) + L" --delete-inf");
    EXPECT_EQ(removal.exitCode, 0u) << Narrow(JoinLines(removal.report));
    if (removal.exitCode == 0)
        deviceIds_.clear();

    /* A logon starts the guard (none ran before); WM_CLOSE ends it with 0. */
    std::wstring error;
    ASSERT_TRUE(RunLogonPrograms(L"TAVRIKEN", &error)) << Narrow(error);
    HWND window = FindGuardWindow(L"TAVRIKEN", 0, 15000);
    ASSERT_NE(window, (HWND)NULL) << "no TAVRIKEN window after the logon";
    DWORD pid = 0, exitCode = 0;
    GetWindowThreadProcessId(window, &pid);
    guard_ = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
    ASSERT_NE(guard_, (HANDLE)NULL);
    EXPECT_NE(SendMessageTimeoutW(window, WM_CLOSE, 0, 0, SMTO_NORMAL, 15000, NULL), 0);
    ASSERT_EQ(WaitForSingleObject(guard_, 15000), (DWORD)WAIT_OBJECT_0) << "the guard did not end";
    EXPECT_TRUE(GetExitCodeProcess(guard_, &exitCode) && exitCode == 0) << exitCode;

    /* The uninstall section, of the INF named as in its own folder, takes the
       Run value away and leaves the guard's file, which the INF copies; the
       uninstaller then deletes that file itself, as the guide says. Windows
       lets it only because the INF declares PnpLockdown=0; Wine enforces no
       lockdown, so here the declaration is read, not its effect. */
    InstallerRun uninstall = Tool(L"--uninstall-package printer.inf", DistPath(kPackage));
    EXPECT_EQ(uninstall.exitCode, 0u) << Narrow(JoinLines(uninstall.report));
    EXPECT_TRUE(!run.report.empty() && ReportHas(uninstall, run.report[0])) << Narrow(JoinLines(uninstall.report));
    ReadValues(HKEY_LOCAL_MACHINE, kRunKey, &runValues);
    EXPECT_EQ(runValues.count(L"TAVRIKEN"), 0u);
    EXPECT_TRUE(AsShipped(files_[1], L"TAVRIKEN.exe")) << "the uninstall section touched the guard's file";
    wchar_t lockdown[8] = L"";
    GetPrivateProfileStringW(L"Version", L"PnpLockdown", L"0", lockdown, 8, Inf().c_str());   /* absent: 0 */
    EXPECT_STREQ(lockdown, L"0") << "Windows would keep the uninstaller from deleting the guard's file";
    EXPECT_TRUE(DeleteFileW(files_[1].c_str())) << GetLastError();
    EXPECT_EQ(GetFileAttributesW(files_[1].c_str()), INVALID_FILE_ATTRIBUTES);
}

/* Two devices installed from the package share its INF copy: removing one
   while the other uses it keeps the copy, says which device uses it and ends
   with 1; removing the last deletes it. */
TEST_F(PackageInstall, InfCopyOfTwoDevicesIsDeletedOnlyWithTheLastOfThem)
{
    for (const wchar_t *port : {L"USB020", L"USB021"}) {
        InstallerRun run = Tool(L"--install-package " + Quote(Inf()) + L" --port " + port);
        NoteDevices(run);
        ASSERT_EQ(run.exitCode, 0u) << Narrow(JoinLines(run.report) + run.error);
        ASSERT_TRUE(ReportHas(run, L"INF copy: printer.inf")) << Narrow(JoinLines(run.report));
    }
    ASSERT_EQ(deviceIds_.size(), 2u);
    const std::wstring copy = Windows() + L"\\inf\\printer.inf", other = deviceIds_[1];

    InstallerRun first = Tool(L"--remove-device " + Quote(deviceIds_[0]) + L" --delete-inf");
    std::string report = Narrow(JoinLines(first.report));
    EXPECT_TRUE(ReportHas(first, L"device removed: " + deviceIds_[0])) << report;
    EXPECT_EQ(first.exitCode, 1u) << report;
    EXPECT_TRUE(ReportHas(first, L"error: the INF copy printer.inf stays: the device " + other +
                                     L" was installed from it too")) << report;
    EXPECT_NE(GetFileAttributesW(copy.c_str()), INVALID_FILE_ATTRIBUTES) << "the INF copy in use was deleted";

    InstallerRun last = Tool(L"--remove-device " + Quote(other) + L" --delete-inf");
    report = Narrow(JoinLines(last.report));
    EXPECT_EQ(last.exitCode, 0u) << report;
    EXPECT_EQ(GetFileAttributesW(copy.c_str()), INVALID_FILE_ATTRIBUTES) << "the INF copy stayed";
}

/* The package with a device co-installer that fails every installation in
   post-processing: the installation is reported failed, the device removed
   again, and the tool ends with 1. */
TEST_F(PackageInstall, FailedInstallationIsReportedAndItsDeviceRemoved)
{
    std::wstring dir = TempDirFor(L"failing-package"), failing = BuildDir() + L"\\tests\\system\\test_coinstallers.dll";
    for (const wchar_t *name : {L"HELDRAVO.dll", L"TAVRIKEN.exe", L"compsmpl.ppd", L"printer.cat"})
        ASSERT_TRUE(CopyFileW(DistPath(kPackage + name).c_str(), (dir + L"\\" + name).c_str(), FALSE)) << Narrow(name);
    std::ifstream in(Narrow(Inf()), std::ios::binary);
    std::string inf((std::istreambuf_iterator<char>(in)), {}), entry = "HELDRAVO.dll,CoInstallerE";
    ASSERT_NE(inf.find(entry), std::string::npos);
    inf.replace(inf.find(entry), entry.size(), Narrow(failing) + ",FailsInstallation");
    std::ofstream(Narrow(dir + L"\\failing.inf"), std::ios::binary) << inf;

    InstallerRun run = Tool(L"--install-package failing.inf", dir);
    std::string report = Narrow(JoinLines(run.report) + run.error);
    EXPECT_EQ(run.exitCode, 1u) << report;
    for (const wchar_t *line : {L"FailsInstallation(DIF_INSTALLDEVICE, PostProcessing, InstallResult = 0x00000000) = "
                                L"0x0000000D", L"installation: failed (0x0000000D)"})
        EXPECT_TRUE(ReportHas(run, line)) << Narrow(line) << " not in\n" << report;
    ASSERT_GE(run.report.size(), 2u) << report;
    EXPECT_EQ(run.report[run.report.size() - 2].find(L"device removed: "), 0u) << report;
    EXPECT_EQ(run.report.back(), L"failed") << report;
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    for (const std::wstring &file : {windows + std::wstring(L"\\inf\\failing.inf"),
                                     windows + std::wstring(L"\\inf\\failing.pnf"), dir + L"\\failing.inf",
                                     dir + L"\\HELDRAVO.dll", dir + L"\\TAVRIKEN.exe", dir + L"\\compsmpl.ppd",
                                     dir + L"\\printer.cat"})
        DeleteFileW(file.c_str());
    RemoveDirectoryW(dir.c_str());
}

/* The platform's crypto API reads the package's catalog: wintrust opens it,
   and the trust list crypt32 decodes from it holds exactly the package's
   other files, each by its SHA-256 and by its SHA-1, computed here. (Wine's
   CryptCATEnumerateMember lists only members that carry CAT_MEMBERINFO, the
   version 1 layout; Windows' version 2 catalogs carry CAT_MEMBERINFO2.) */
TEST(PackageCatalog, ListsEveryFileOfThePackageByItsHashes)
{
    std::set<std::wstring> want, members;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(DistPath(kPackage + L"*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE) << GetLastError();
    do {
        std::wstring name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || name == L"printer.cat")
            continue;
        std::wstring sha256 = MemberTag(DistPath(kPackage + name), BCRYPT_SHA256_ALGORITHM, 32),
                     sha1 = MemberTag(DistPath(kPackage + name), BCRYPT_SHA1_ALGORITHM, 20);
        EXPECT_EQ(sha256.size() + sha1.size(), 104u) << Narrow(name) << " could not be hashed";
        want.insert(sha256);
        want.insert(sha1);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    ASSERT_EQ(want.size(), 8u) << "the package holds the INF, the PPD and the two companions";

    std::wstring path = DistPath(kPackage + L"printer.cat");
    HANDLE catalog = CryptCATOpen(&path[0], CRYPTCAT_OPEN_EXISTING, 0, 0, 0);
    ASSERT_NE(catalog, INVALID_HANDLE_VALUE) << "CryptCATOpen: error " << GetLastError();
    CryptCATClose(catalog);
    std::ifstream in(Narrow(path), std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), {});
    PCCTL_CONTEXT ctl = CertCreateCTLContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, (const BYTE *)data.data(),
                                             (DWORD)data.size());
    ASSERT_NE(ctl, nullptr) << "CertCreateCTLContext: error " << GetLastError();
    EXPECT_STREQ(ctl->pCtlInfo->SubjectAlgorithm.pszObjId, "1.3.6.1.4.1.311.12.1.3") << "not a version 2 catalog";
    for (DWORD i = 0; i < ctl->pCtlInfo->cCTLEntry; ++i) {
        const CRYPT_DATA_BLOB &tag = ctl->pCtlInfo->rgCTLEntry[i].SubjectIdentifier;
        std::wstring hex;
        for (DWORD j = 0; j < tag.cbData; ++j) {
            wchar_t digit[3];
            swprintf(digit, 3, L"%02X", tag.pbData[j]);
            hex += digit;
        }
        members.insert(hex);
    }
    CertFreeCTLContext(ctl);
    std::wstring listed = L"members:", hashed = L"files:";
    for (const std::wstring &tag : members)
        listed += L"\n  " + tag;
    for (const std::wstring &tag : want)
        hashed += L"\n  " + tag;
    EXPECT_TRUE(members == want) << Narrow(listed) << "\n" << Narrow(hashed);
}
