/*
 * The real co-installer DLLs driven by the stand-in device installer against
 * the real SetupAPI, spooler and registry: which print queue is found, which
 * hives get the "Device" value and exactly what, what the trace says, and
 * that SetupAPI itself loads the DLL as the Printer class's co-installer.
 */
#include <gtest/gtest.h>

#include <algorithm>

#include "child_process.h"
#include "coinstaller_fixtures.h"
#include "test_paths.h"

namespace {

const wchar_t kSid[] = L"S-1-5-21-4242-4242-4242-1001";
const wchar_t kSystemSid[] = L"S-1-5-18";
const wchar_t kDefault[] = L".DEFAULT";
const wchar_t kCoInstallersKey[] = L"SYSTEM\\CurrentControlSet\\Control\\CoDeviceInstallers";
const wchar_t kPrinterClass[] = L"{4d36e979-e325-11ce-bfc1-08002be10318}";

std::wstring Devices(const std::wstring &user) { return user + L"\\" + kDevicesPath; }
std::wstring Windows(const std::wstring &user) { return user + L"\\" + kWindowsPath; }

std::wstring StringOf(const RegValue &value)
{
    std::wstring text;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
        wchar_t c = (wchar_t)(value.data[i] | (value.data[i + 1] << 8));
        if (c == 0)
            break;
        text += c;
    }
    return text;
}

class CoinstallerSystem : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(NoPrinterDevicesLeft(&leftover_)) << "a ROOT\\PRINTER device is registered: " << Narrow(leftover_);
        SaveDeviceValues(hives_);
    }
    void TearDown() override
    {
        RemoveQueues(queues_);
        RemoveUserKeys(hives_);
        /* A device the tool left, or one a stopped test did not remove: named, and removed. */
        std::vector<std::wstring> found, stayed;
        RemovePrinterDevices(&found, &stayed);
        EXPECT_TRUE(found.empty()) << "left behind: " << Narrow(found[0]);
        EXPECT_TRUE(stayed.empty()) << "cannot remove " << Narrow(stayed[0]);
    }
    void Queue(const std::wstring &printer, const std::wstring &driver, const std::wstring &port)
    {
        std::wstring error;
        bool known = false;
        for (const std::wstring &d : queues_.drivers)
            known = known || d == driver;
        if (!known) {
            ASSERT_TRUE(AddQueueDriver(queues_, driver, &error)) << Narrow(error);
        }
        ASSERT_TRUE(AddQueue(queues_, printer, driver, port, &error)) << Narrow(error);
    }
    void Str(const std::wstring &path, const std::wstring &name, const std::wstring &text)
    {
        std::wstring error;
        ASSERT_TRUE(SetUserString(hives_, path, name, text, &error)) << Narrow(error);
    }
    void Key(const std::wstring &path)
    {
        std::wstring error;
        ASSERT_TRUE(CreateUserKey(hives_, path, &error)) << Narrow(error);
    }
    /* Runs the installer with the DLL of tag, through post-processing. */
    InstallerRun Install(const std::wstring &model, const std::wstring &portArgs, const std::wstring &tag = L"HELDRAVO")
    {
        SaveDeviceValues(hives_);   /* hives made by the test since SetUp */
        before_ = SnapshotHives();
        std::wstring argument;   /* a double quote in a quoted argument is \" */
        for (wchar_t c : model)
            argument += c == L'"' ? std::wstring(L"\\\"") : std::wstring(1, c);
        InstallerRun run = RunDeviceInstaller(L"--coinstaller " + Quote(DistPath(tag + L".dll")) + L" --model " +
                                                  Quote(argument) + L" " + portArgs + L" --post-processing",
                                              tag + L" : ");
        EXPECT_TRUE(run.started) << Narrow(run.error);
        EXPECT_EQ(run.exitCode, 0u) << Narrow(JoinLines(run.report));
        EXPECT_TRUE(ReportHas(run, L"CoInstallerE(DIF_INSTALLDEVICE) = 0xE0000226")) << Narrow(JoinLines(run.report));
        EXPECT_TRUE(ReportHas(run, L"CoInstallerE(DIF_INSTALLDEVICE, PostProcessing, InstallResult = 0x00000000) = "
                                   L"0x00000000"))
            << Narrow(JoinLines(run.report));
        return run;
    }
    /* Every hive whose Devices key names printer (and that has a Windows
       key) holds Device = printer,value; nothing else changed anywhere. */
    void ExpectDefaultPrinter(const std::wstring &printer, const std::vector<std::wstring> &skipped = {})
    {
        HiveSnapshot after = SnapshotHives();
        for (const auto &entry : before_) {
            const std::wstring &user = entry.first;
            const HiveState &was = entry.second;
            ASSERT_TRUE(after.count(user)) << Narrow(user);
            const HiveState &now = after[user];
            EXPECT_EQ(now.hasDevices, was.hasDevices) << Narrow(user);
            EXPECT_TRUE(now.devices == was.devices) << "Devices changed in " << Narrow(user);
            RegValues expected = was.windows;
            bool skip = std::find(skipped.begin(), skipped.end(), user) != skipped.end();
            if (!skip && was.hasWindows && was.devices.count(printer))
                expected[L"Device"] = SzValue(printer + L"," + StringOf(was.devices.at(printer)));
            EXPECT_EQ(now.hasWindows, was.hasWindows) << Narrow(user);
            for (const auto &v : expected)
                EXPECT_TRUE(now.windows.count(v.first) && now.windows.at(v.first) == v.second)
                    << Narrow(user) << " value " << Narrow(v.first) << ": expected " << Narrow(ValueText(v.second))
                    << ", found " << (now.windows.count(v.first) ? Narrow(ValueText(now.windows.at(v.first))) : "none");
            EXPECT_EQ(now.windows.size(), expected.size()) << "values added in " << Narrow(user);
        }
    }
    static bool Has(const InstallerRun &run, const std::wstring &line)
    {
        return std::find(run.traces.begin(), run.traces.end(), line) != run.traces.end();
    }
    static std::wstring Lines(const InstallerRun &run) { return JoinLines(run.traces); }
    /* The walk over HKEY_USERS ends with the 259 line at the number of hives. */
    void ExpectWalkEnded(const InstallerRun &run)
    {
        ASSERT_FALSE(run.traces.empty());
        EXPECT_EQ(run.traces.back(), L"HELDRAVO : RegEnumKeyEx(" + std::to_wstring(before_.size()) +
                                         L") : failed. GetLastError() = 259\n") << Narrow(Lines(run));
    }

    QueueFixture queues_;
    HiveFixture hives_;
    HiveSnapshot before_;
    std::wstring leftover_;
};

}  // namespace

TEST_F(CoinstallerSystem, EveryHiveThatKnowsThePrinterGetsItAsDefaultAndNoOtherValueChanges)
{
    Queue(L"Coinst Office", L"Coinst System Model", L"USB001");
    Str(Devices(kSid), L"Coinst Office", L"winspool,USB001");
    Str(Devices(kSid), L"Coinst Other", L"winspool,LPT1:");
    Str(Windows(kSid), L"Device", L"Coinst Other,winspool,LPT1:");
    Str(Windows(kSid), L"DeviceNotSelectedTimeout", L"15");
    Key(std::wstring(kSid) + L"_Classes\\Software");
    Str(Devices(kSystemSid), L"Coinst Office", L"winspool,Ne01:");
    Key(Windows(kSystemSid));
    Str(Devices(kDefault), L"Coinst Other", L"winspool,LPT1:");
    Str(Windows(kDefault), L"Device", L"Coinst Other,winspool,LPT1:");

    InstallerRun run = Install(L"Coinst System Model", L"--port USB001");
    EXPECT_TRUE(Has(run, L"HELDRAVO : FOUND : Printer Name = \"Coinst Office\" Model Name = \"Coinst System Model\" "
                         L"Port Name = \"USB001\"\n")) << Narrow(Lines(run));
    EXPECT_TRUE(Has(run, std::wstring(L"HELDRAVO : ") + kSid + L"\n===========================================\n"));
    EXPECT_TRUE(Has(run, L"HELDRAVO : Coinst Office,winspool,USB001\n")) << Narrow(Lines(run));
    EXPECT_TRUE(Has(run, L"HELDRAVO : Coinst Office,winspool,Ne01:\n")) << Narrow(Lines(run));
    EXPECT_TRUE(Has(run, L"HELDRAVO : GetFullPrinterName(Coinst Office) : RegOpenKeyEx(" + std::wstring(kSid) +
                             L"_Classes\\" + kDevicesPath + L") : failed. GetLastError() = 2\n")) << Narrow(Lines(run));
    ExpectDefaultPrinter(L"Coinst Office");
    ExpectWalkEnded(run);
    /* The hives the test made were seen: the _Classes companion is skipped. */
    RegValues windows;
    ASSERT_TRUE(ReadValues(HKEY_USERS, Windows(kSid), &windows));
    EXPECT_EQ(StringOf(windows[L"Device"]), L"Coinst Office,winspool,USB001");
    ASSERT_TRUE(ReadValues(HKEY_USERS, Windows(kDefault), &windows));
    EXPECT_EQ(StringOf(windows[L"Device"]), L"Coinst Other,winspool,LPT1:");
}

/* The generated INF quotes the name: quotes, percent signs and what ends an
   unquoted field reach the selected driver unchanged. */
TEST_F(CoinstallerSystem, ModelNameWithQuotesAndPercentSignsIsInstalledIntact)
{
    const std::wstring model = L"Coinst \"Quoted\" 100% Model; %Maker%, 50%%";
    InstallerRun run = Install(model, L"--port USB014");
    EXPECT_TRUE(ReportHas(run, L"model: " + model)) << Narrow(JoinLines(run.report));
}

/* A usage error: one line naming it, then the usage, and exit code 2. */
TEST(DeviceInstallerUsage, UnknownArgumentIsNamedOnTheLineBeforeTheUsage)
{
    DWORD code = 0;
    std::string output;
    ASSERT_TRUE(RunProcess(Quote(ToolPath(L"device_installer.exe")) + L" --bogus", 30000, &code, &output));
    EXPECT_EQ(code, 2u) << output;
    EXPECT_EQ(output.find("device_installer: unknown argument --bogus\nusage: device_installer"), 0u) << output;
}

TEST_F(CoinstallerSystem, DriverNameDifferingOnlyInLetterCaseMatches)
{
    Queue(L"Coinst Case", L"Coinst Case Model", L"USB002");
    Str(Devices(kSid), L"Coinst Case", L"winspool,USB002");
    Key(Windows(kSid));
    InstallerRun run = Install(L"COINST case MODEL", L"--port usb002");
    EXPECT_TRUE(Has(run, L"HELDRAVO : FOUND : Printer Name = \"Coinst Case\" Model Name = \"Coinst Case Model\" "
                         L"Port Name = \"USB002\"\n")) << Narrow(Lines(run));
    ExpectDefaultPrinter(L"Coinst Case");
    RegValues windows;
    ASSERT_TRUE(ReadValues(HKEY_USERS, Windows(kSid), &windows));
    EXPECT_TRUE(windows[L"Device"] == SzValue(L"Coinst Case,winspool,USB002"));
}

TEST_F(CoinstallerSystem, NoPrintersAtAllIsReportedAndNothingIsAllocated)
{
    ASSERT_TRUE(ListQueues().empty()) << "the spooler already has queues";
    InstallerRun run = Install(L"Coinst Lonely Model", L"--port USB003");
    std::vector<std::wstring> tail = {
        L"HELDRAVO : PortName = USB003\n", L"HELDRAVO : EnumPrinters(0) succeed2. dwReturned = 0\n",
        L"HELDRAVO : EnumPrinters(1) succeed. nNbPrinters = 0\n",
        L"HELDRAVO : Unable to found Printer : Model Name = \"Coinst Lonely Model\" Port Name = \"USB003\"\n"};
    ASSERT_GE(run.traces.size(), tail.size());
    EXPECT_EQ(std::vector<std::wstring>(run.traces.end() - tail.size(), run.traces.end()), tail) << Narrow(Lines(run));
    ExpectDefaultPrinter(L"-");
}

TEST_F(CoinstallerSystem, TwoQueuesOnTheSameDriverAndPortUseTheFirstInSpoolerOrder)
{
    Queue(L"Coinst Twin B", L"Coinst Twin Model", L"USB004");
    Queue(L"Coinst Twin A", L"Coinst Twin Model", L"USB004");
    std::wstring first;
    for (const QueueInfo &q : ListQueues())
        if (first.empty() && q.driver == L"Coinst Twin Model")
            first = q.printer;
    ASSERT_FALSE(first.empty());
    std::wstring second = first == L"Coinst Twin A" ? L"Coinst Twin B" : L"Coinst Twin A";
    Str(Devices(kSid), L"Coinst Twin A", L"winspool,USB004");
    Str(Devices(kSid), L"Coinst Twin B", L"winspool,USB004");
    Key(Windows(kSid));
    InstallerRun run = Install(L"Coinst Twin Model", L"--port USB004");
    EXPECT_TRUE(Has(run, L"HELDRAVO : FOUND : Printer Name = \"" + first +
                             L"\" Model Name = \"Coinst Twin Model\" Port Name = \"USB004\"\n")) << Narrow(Lines(run));
    for (const std::wstring &line : run.traces)
        EXPECT_EQ(line.find(L"FOUND : Printer Name = \"" + second), std::wstring::npos) << Narrow(line);
    ExpectDefaultPrinter(first);
}

TEST_F(CoinstallerSystem, DeviceWithoutPortNameEndsBeforeThePrinterSearch)
{
    Queue(L"Coinst Portless", L"Coinst Portless Model", L"USB005");
    InstallerRun run = Install(L"Coinst Portless Model", L"--no-port");
    ASSERT_FALSE(run.traces.empty());
    EXPECT_EQ(run.traces.back(), L"HELDRAVO : RegQueryValueEx(0) failed. GetLastError() = 2\n") << Narrow(Lines(run));
    for (const std::wstring &line : run.traces)
        EXPECT_EQ(line.find(L"EnumPrinters"), std::wstring::npos) << Narrow(line);
    ExpectDefaultPrinter(L"-");
}

TEST_F(CoinstallerSystem, QueueOnSeveralPortsNeverMatchesOneOfThem)
{
    Queue(L"Coinst Multi", L"Coinst Multi Model", L"USB006,USB007");
    Str(Devices(kSid), L"Coinst Multi", L"winspool,USB006");
    Key(Windows(kSid));
    InstallerRun run = Install(L"Coinst Multi Model", L"--port USB006");
    ASSERT_FALSE(run.traces.empty());
    EXPECT_EQ(run.traces.back(),
              L"HELDRAVO : Unable to found Printer : Model Name = \"Coinst Multi Model\" Port Name = \"USB006\"\n")
        << Narrow(Lines(run));
    ExpectDefaultPrinter(L"-");
}

TEST_F(CoinstallerSystem, PrinterNameOf128UnitsFitsOnlyAnEmptyValueAnd129IsRefusedEverywhere)
{
    std::wstring name128 = L"Coinst Long " + std::wstring(128 - 12, L'L');
    std::wstring name129 = L"Coinst Long " + std::wstring(129 - 12, L'M');
    Queue(name128, L"Coinst Long Model A", L"USB008");
    Queue(name129, L"Coinst Long Model B", L"USB009");
    Str(Devices(kSid), name128, L"winspool,USB008");
    Str(Devices(kSid), name129, L"winspool,USB009");
    Key(Windows(kSid));
    Str(Devices(kSystemSid), name128, L"");
    Str(Devices(kSystemSid), name129, L"");
    Key(Windows(kSystemSid));

    InstallerRun run = Install(L"Coinst Long Model A", L"--port USB008");
    EXPECT_TRUE(Has(run, L"HELDRAVO : GetFullPrinterName(" + name128 + L") : RegQueryValueEx() : failed. "
                                                                      L"GetLastError() = 234")) << Narrow(Lines(run));
    EXPECT_TRUE(Has(run, L"HELDRAVO : " + name128 + L",\n")) << Narrow(Lines(run));
    /* Only where its Devices value is empty (the spooler fills the current
       user's too, where a Windows key may be). */
    std::vector<std::wstring> nonEmpty;
    for (const auto &e : before_)
        if (e.second.devices.count(name128) && StringOf(e.second.devices.at(name128)) != L"")
            nonEmpty.push_back(e.first);
    ExpectDefaultPrinter(name128, nonEmpty);
    RegValues windows;
    ASSERT_TRUE(ReadValues(HKEY_USERS, Windows(kSystemSid), &windows));
    EXPECT_TRUE(windows[L"Device"] == SzValue(name128 + L","));

    InstallerRun second = Install(L"Coinst Long Model B", L"--port USB009");
    EXPECT_TRUE(Has(second, L"HELDRAVO : FOUND : Printer Name = \"" + name129 +
                                L"\" Model Name = \"Coinst Long Model B\" Port Name = \"USB009\"\n")) << Narrow(Lines(second));
    for (const std::wstring &line : second.traces)
        EXPECT_EQ(line.find(L"GetFullPrinterName("), std::wstring::npos) << "a key was tried: " << Narrow(line);
    ExpectDefaultPrinter(name129, [&] { std::vector<std::wstring> all; for (auto &e : before_) all.push_back(e.first); return all; }());
    ExpectWalkEnded(second);
}

TEST_F(CoinstallerSystem, ValuesStoredWithoutTerminatorAreReadAsExactlyTheirData)
{
    std::wstring error;
    Queue(L"Coinst Raw", L"Coinst Raw Model", L"USB010");
    ASSERT_TRUE(SetUserStringUnterminated(hives_, Devices(kSid), L"Coinst Raw", L"winspool,USB010", &error))
        << Narrow(error);
    Key(Windows(kSid));
    InstallerRun run = Install(L"Coinst Raw Model", L"--port-unterminated USB010");
    EXPECT_TRUE(Has(run, L"HELDRAVO : PortName = USB010\n")) << Narrow(Lines(run));
    EXPECT_TRUE(Has(run, L"HELDRAVO : FOUND : Printer Name = \"Coinst Raw\" Model Name = \"Coinst Raw Model\" "
                         L"Port Name = \"USB010\"\n")) << Narrow(Lines(run));
    RegValues windows;
    ASSERT_TRUE(ReadValues(HKEY_USERS, Windows(kSid), &windows));
    EXPECT_TRUE(windows[L"Device"] == SzValue(L"Coinst Raw,winspool,USB010")) << Narrow(ValueText(windows[L"Device"]));
}

TEST_F(CoinstallerSystem, UserKeyTooLongForTheOldPathBufferIsSkippedAndTheWalkGoesOn)
{
    /* Sorts before kSid; with the Devices path it is far beyond 260 units. */
    std::wstring longUser = L"S-1-5-21-4242-4242-4242-1000-" + std::wstring(200, L'L');
    Queue(L"Coinst Far", L"Coinst Far Model", L"USB011");
    Str(Devices(longUser), L"Coinst Far", L"winspool,USB011");
    Key(Windows(longUser));
    Str(Devices(kSid), L"Coinst Far", L"winspool,USB011");
    Key(Windows(kSid));
    InstallerRun run = Install(L"Coinst Far Model", L"--port USB011");
    auto at = [&](const std::wstring &line) {
        return std::find(run.traces.begin(), run.traces.end(), line) - run.traces.begin();
    };
    size_t tooLong = at(L"HELDRAVO : GetFullPrinterName(Coinst Far) : key path too long for user key " + longUser +
                        L" : failed. GetLastError() = 206\n");
    size_t written = at(L"HELDRAVO : Coinst Far,winspool,USB011\n");
    ASSERT_LT(tooLong, run.traces.size()) << Narrow(Lines(run));
    ASSERT_LT(written, run.traces.size()) << Narrow(Lines(run));
    EXPECT_LT(tooLong, written);
    EXPECT_TRUE(run.exceptions.empty()) << "the installer raised " << run.exceptions.size() << " exceptions";
    ExpectDefaultPrinter(L"Coinst Far", {longUser});
    ExpectWalkEnded(run);
}

TEST_F(CoinstallerSystem, EachBuildTracesUnderItsOwnTag)
{
    for (const wchar_t *tag : {L"HELDRAVO", L"JUNTEPAS", L"WIRZOLAK"}) {
        InstallerRun run = Install(L"Coinst Tag Model", L"--port USB012", tag);
        ASSERT_GE(run.traces.size(), 2u) << Narrow(tag);
        EXPECT_EQ(run.traces[0], std::wstring(tag) + L" : DIF_INSTALLDEVICE\n");
        EXPECT_EQ(run.traces[1], std::wstring(tag) + L" : DIF_INSTALLDEVICE PostProcessing\n");
    }
}

TEST_F(CoinstallerSystem, SetupApiLoadsTheDllAsPrinterClassCoInstallerAndTakesThePostProcessingRequest)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCoInstallersKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
              ERROR_SUCCESS);
    std::vector<BYTE> saved(4096);
    DWORD savedType = 0, savedBytes = (DWORD)saved.size();
    bool hadValue = RegQueryValueExW(key, kPrinterClass, NULL, &savedType, saved.data(), &savedBytes) == ERROR_SUCCESS;
    std::wstring entry = DistPath(L"HELDRAVO.dll") + L",CoInstallerE";
    entry.push_back(L'\0');
    entry.push_back(L'\0');
    ASSERT_EQ(RegSetValueExW(key, kPrinterClass, 0, REG_MULTI_SZ, (const BYTE *)entry.c_str(),
                             (DWORD)(entry.size() * sizeof(wchar_t))), ERROR_SUCCESS);

    InstallerRun run = RunDeviceInstaller(L"--class-installer --model " + Quote(L"Coinst Class Model") + L" --port USB013",
                                          L"HELDRAVO : ");

    if (hadValue)
        RegSetValueExW(key, kPrinterClass, 0, savedType, saved.data(), savedBytes);
    else
        RegDeleteValueW(key, kPrinterClass);
    RegCloseKey(key);

    EXPECT_TRUE(run.started) << Narrow(run.error);
    EXPECT_EQ(run.exitCode, 0u) << Narrow(JoinLines(run.report));
    EXPECT_TRUE(ReportHas(run, L"SetupDiCallClassInstaller(DIF_INSTALLDEVICE) = TRUE")) << Narrow(JoinLines(run.report));
    /* The copy of the generated INF that the installation made goes with the device. */
    auto uninstalled = std::find_if(run.report.begin(), run.report.end(), [](const std::wstring &line) {
        return line.compare(0, 21, L"SetupUninstallOEMInf(") == 0 && line.find(L") = TRUE") != std::wstring::npos;
    });
    ASSERT_NE(uninstalled, run.report.end()) << Narrow(JoinLines(run.report));
    wchar_t windows[MAX_PATH];
    std::wstring copy = uninstalled->substr(21, uninstalled->find(L')') - 21);
    EXPECT_EQ(GetFileAttributesW((std::wstring(windows, GetWindowsDirectoryW(windows, MAX_PATH)) + L"\\inf\\" + copy).c_str()),
              INVALID_FILE_ATTRIBUTES) << Narrow(copy);
    /* Each request of the device installer reaches it, in order. */
    std::vector<std::wstring> requests = {L"HELDRAVO : DIF_REGISTERDEVICE\n", L"HELDRAVO : DIF_SELECTBESTCOMPATDRV\n",
                                          L"HELDRAVO : DIF_INSTALLDEVICE\n", L"HELDRAVO : DIF_REMOVE\n"};
    EXPECT_EQ(run.traces, requests) << "the co-installer's lines: " << Narrow(JoinLines(run.allLines));
}

/* A co-installer that never returns: the tool ends at its time-out with its
   own exit code, without waiting for the stuck call or crashing, and its log
   says so; the device it made stays, named in the log. */
TEST_F(CoinstallerSystem, CoInstallerThatNeverReturnsEndsTheRunAtTheTimeOut)
{
    std::wstring dll = BuildDir() + L"\\tests\\system\\test_coinstallers.dll";
    InstallerRun run = RunDeviceInstaller(L"--coinstaller " + Quote(dll) + L" --model " +
                                          Quote(L"Coinst Stuck Model") + L" --timeout 2", L"");
    std::string report = Narrow(JoinLines(run.report) + run.error);
    EXPECT_EQ(run.exitCode, 3u) << report;
    EXPECT_TRUE(run.exceptions.empty()) << report;
    ASSERT_GE(run.report.size(), 3u) << report;
    EXPECT_EQ(run.report[run.report.size() - 2].find(L"error: not done within 2 s "), 0u) << report;
    EXPECT_EQ(run.report.back(), L"failed") << report;
    ASSERT_EQ(run.report[0].find(L"device: "), 0u) << report;
    EXPECT_EQ(RunDeviceInstaller(L"--remove-device " + Quote(run.report[0].substr(8)), L"").exitCode, 0u);
}
