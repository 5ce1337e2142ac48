/*
 * The default-printer procedure called directly, with a real printer device
 * made in this process, real queues and test hives: the failure paths that
 * the platform cannot produce on demand (through the seams), the composed
 * full printer name at the edges of its 260-byte room, and that every block
 * is freed and every key closed on every path.
 */
#include <gtest/gtest.h>
#include <algorithm>

#include "child_process.h"
#include "coinstaller_fixtures.h"
#include "coinstaller_under_test.h"
#include "device_setup.h"
#include "test_paths.h"
#include "trace_capture.h"

namespace {

const wchar_t kModel[] = L"Unit Test Model 7";
const wchar_t kTestUser[] = L"S-1-5-21-7777-7777-7777-1001";

class CoinstallerProcedure : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::wstring error;
        dir_ = TempDirFor(L"coinst-unit");
        inf_ = dir_ + L"\\model.inf";
        wchar_t text[DEVICE_TEXT_UNITS];
        ASSERT_TRUE(WriteModelInf(inf_.c_str(), kModel, L"UNITTEST_HWID", text, DEVICE_TEXT_UNITS)) << Narrow(text);
        ASSERT_TRUE(CreatePrinterDevice(&device_, inf_.c_str(), L"UNITTEST_HWID", L"USB007", PORT_NAME_TERMINATED))
            << Narrow(device_.error);
        SaveDeviceValues(hives_);
        ResetCoinstallerSeams();
    }
    void TearDown() override
    {
        RemovePrinterDevice(&device_);
        RemoveQueues(queues_);
        RemoveUserKeys(hives_);
        DeleteFileW(inf_.c_str());
        RemoveDirectoryW(dir_.c_str());
    }
    std::vector<std::wstring> Run()
    {
        StartTraceCapture();
        SetDefaultPrinterForInstalledDevice(device_.hSet, &device_.data);
        return StopTraceCapture();
    }
    std::wstring IdLine() { return std::wstring(L"HELDRAVO : Device Instance ID = ") + device_.instanceId + L"\n"; }
    DWORD IdBlockBytes() { return (DWORD)((wcslen(device_.instanceId) + 2) * sizeof(wchar_t)); }

    std::wstring dir_, inf_;
    PrinterDevice device_;
    QueueFixture queues_;
    HiveFixture hives_;
};

const std::wstring kModelLine = std::wstring(L"HELDRAVO : GetPrinterModelName() : Model Name = \"") + kModel + L"\"\n";

}  // namespace

TEST_F(CoinstallerProcedure, InstanceIdBlockThatCannotBeAllocatedEndsTheProcedure)
{
    g_coinstallerSeams.globalAllocFailAt = 1;
    g_coinstallerSeams.globalAllocError = ERROR_NOT_ENOUGH_MEMORY;
    std::vector<std::wstring> lines = Run();
    std::vector<std::wstring> expected = {
        kModelLine,
        L"HELDRAVO : GlobalAlloc(GMEM_FIXED, " + std::to_wstring(IdBlockBytes()) + L") failed. GetLastError() = 8\n"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(g_coinstallerSeams.regOpenCalls, 0);
    EXPECT_EQ(g_coinstallerSeams.enumPrintersCalls, 0);
    EXPECT_NOTHING_LEAKED();
}

TEST_F(CoinstallerProcedure, PortNameBlockThatCannotBeAllocatedEndsTheProcedureWithTheKeyClosed)
{
    g_coinstallerSeams.globalAllocFailAt = 2;
    g_coinstallerSeams.globalAllocError = ERROR_NOT_ENOUGH_MEMORY;
    std::vector<std::wstring> lines = Run();
    /* "USB007" is 14 bytes with its terminator; the block keeps room for one more. */
    std::vector<std::wstring> expected = {
        kModelLine, IdLine(), L"HELDRAVO : GlobalAlloc(GMEM_FIXED, 16) failed. GetLastError() = 8\n"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(g_coinstallerSeams.globalAllocBytes[1], (SIZE_T)16);
    EXPECT_EQ(g_coinstallerSeams.regOpenSucceeded, 1);
    EXPECT_EQ(g_coinstallerSeams.enumPrintersCalls, 0);
    EXPECT_NOTHING_LEAKED();
}

TEST_F(CoinstallerProcedure, PrinterListBlockThatCannotBeAllocatedEndsTheProcedure)
{
    std::wstring error;
    ASSERT_TRUE(AddQueueDriver(queues_, kModel, &error)) << Narrow(error);
    ASSERT_TRUE(AddQueue(queues_, L"Unit Test Queue", kModel, L"USB007", &error)) << Narrow(error);
    g_coinstallerSeams.globalAllocFailAt = 3;
    g_coinstallerSeams.globalAllocError = ERROR_NOT_ENOUGH_MEMORY;
    std::vector<std::wstring> lines = Run();
    std::wstring needed = std::to_wstring(g_coinstallerSeams.globalAllocBytes[2]);
    ASSERT_GT(g_coinstallerSeams.globalAllocBytes[2], (SIZE_T)0);
    std::vector<std::wstring> expected = {
        kModelLine, IdLine(), L"HELDRAVO : PortName = USB007\n",
        L"HELDRAVO : EnumPrinters(0) return ERROR_INSUFFICIENT_BUFFER (" + needed + L")\n",
        L"HELDRAVO : GlobalAlloc(GMEM_FIXED, " + needed + L") failed. GetLastError() = 8\n"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(g_coinstallerSeams.enumPrintersCalls, 1);
    EXPECT_NOTHING_LEAKED();
}

TEST_F(CoinstallerProcedure, FirstEnumerationFailureEndsTheProcedure)
{
    g_coinstallerSeams.enumPrintersFailAt = 1;
    g_coinstallerSeams.enumPrintersError = RPC_S_SERVER_UNAVAILABLE;
    std::vector<std::wstring> lines = Run();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), L"HELDRAVO : EnumPrinters(0) failed. GetLastError() = 1722\n");
    EXPECT_EQ(lines.size(), 4u);
    EXPECT_EQ(g_coinstallerSeams.enumPrintersCalls, 1);
    EXPECT_NOTHING_LEAKED();
}

TEST_F(CoinstallerProcedure, FirstEnumerationFailingWithoutErrorCodeGoesOn)
{
    g_coinstallerSeams.enumPrintersFailAt = 1;
    g_coinstallerSeams.enumPrintersError = NO_ERROR;
    g_coinstallerSeams.enumPrintersFakeEmpty = TRUE;
    std::vector<std::wstring> lines = Run();
    std::vector<std::wstring> expected = {
        kModelLine, IdLine(), L"HELDRAVO : PortName = USB007\n",
        L"HELDRAVO : EnumPrinters(0) succeed1. dwReturned = 0\n",
        L"HELDRAVO : EnumPrinters(1) succeed. nNbPrinters = 0\n",
        std::wstring(L"HELDRAVO : Unable to found Printer : Model Name = \"") + kModel + L"\" Port Name = \"USB007\"\n"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(g_coinstallerSeams.globalAllocCalls, 2) << "nothing is allocated for 0 bytes needed";
    EXPECT_NOTHING_LEAKED();
}

TEST_F(CoinstallerProcedure, PortNameStoredWithoutTerminatorIsReadAsExactlyItsData)
{
    ASSERT_TRUE(SetDevicePortName(&device_, L"USB007", PORT_NAME_UNTERMINATED)) << Narrow(device_.error);
    g_coinstallerSeams.enumPrintersFakeEmpty = TRUE;
    std::vector<std::wstring> lines = Run();
    std::vector<std::wstring> expected = {
        kModelLine, IdLine(), L"HELDRAVO : PortName = USB007\n",
        L"HELDRAVO : EnumPrinters(0) succeed2. dwReturned = 0\n",
        L"HELDRAVO : EnumPrinters(1) succeed. nNbPrinters = 0\n",
        std::wstring(L"HELDRAVO : Unable to found Printer : Model Name = \"") + kModel + L"\" Port Name = \"USB007\"\n"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(g_coinstallerSeams.globalAllocBytes[1], (SIZE_T)14) << "12 bytes of data and room for a terminator";
    EXPECT_NOTHING_LEAKED();
}

TEST_F(CoinstallerProcedure, SecondEnumerationFailureEndsTheProcedureWithTheListFreed)
{
    std::wstring error;
    ASSERT_TRUE(AddQueueDriver(queues_, kModel, &error)) << Narrow(error);
    ASSERT_TRUE(AddQueue(queues_, L"Unit Test Queue", kModel, L"USB007", &error)) << Narrow(error);
    g_coinstallerSeams.enumPrintersFailAt = 2;
    g_coinstallerSeams.enumPrintersError = ERROR_ACCESS_DENIED;
    std::vector<std::wstring> lines = Run();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].find(L"HELDRAVO : GlobalAlloc(GMEM_FIXED, "), 0u);
    EXPECT_EQ(lines.back(), L"HELDRAVO : EnumPrinters(1) failed. GetLastError() = 5\n");
    EXPECT_EQ(g_coinstallerSeams.globalAllocSucceeded, 3);
    EXPECT_NOTHING_LEAKED();
}

TEST_F(CoinstallerProcedure, FoundPrinterIsWrittenWithItsTerminatorCountedAndEverythingReleased)
{
    std::wstring error;
    std::wstring user = kTestUser;
    ASSERT_TRUE(AddQueueDriver(queues_, kModel, &error)) << Narrow(error);
    ASSERT_TRUE(AddQueue(queues_, L"Unit Test Queue", kModel, L"USB007", &error)) << Narrow(error);
    ASSERT_TRUE(SetUserString(hives_, user + L"\\" + kDevicesPath, L"Unit Test Queue", L"winspool,USB007", &error));
    ASSERT_TRUE(CreateUserKey(hives_, user + L"\\" + kWindowsPath, &error)) << Narrow(error);
    SaveDeviceValues(hives_);
    ResetCoinstallerSeams();
    std::vector<std::wstring> lines = Run();
    bool found = false;
    for (const std::wstring &line : lines)
        found = found || line == L"HELDRAVO : FOUND : Printer Name = \"Unit Test Queue\" Model Name = \"" +
                                 std::wstring(kModel) + L"\" Port Name = \"USB007\"\n";
    EXPECT_TRUE(found) << Narrow(JoinLines(lines));

    const std::wstring full = L"Unit Test Queue,winspool,USB007";
    int sets = 0;
    for (int i = 0; i < g_coinstallerSeams.regSetCalls && i < SEAM_RECORDED_SETS; i++) {
        const SeamRegistrySet &set = g_coinstallerSeams.regSets[i];
        EXPECT_EQ(std::wstring(set.name), L"Device");
        EXPECT_EQ(set.type, (DWORD)REG_SZ);
        if (std::wstring(set.data) == full) {
            EXPECT_EQ(set.bytes, (DWORD)((full.size() + 1) * sizeof(wchar_t))) << "terminator not counted";
            sets++;
        }
    }
    EXPECT_GE(sets, 1);
    RegValues windows;
    ASSERT_TRUE(ReadValues(HKEY_USERS, user + L"\\" + kWindowsPath, &windows));
    EXPECT_TRUE(windows[L"Device"] == SzValue(full)) << Narrow(ValueText(windows[L"Device"]));
    EXPECT_NOTHING_LEAKED();
}

TEST_F(CoinstallerProcedure, ValuesOfAnOddByteCountAreReadWithoutTheirDanglingByte)
{
    /* "USB007" and half a unit (13 bytes), "winspool,USB007" and half a unit
       (31 bytes): the port and the value are their whole units only. */
    std::wstring error;
    std::wstring user = kTestUser;
    ASSERT_TRUE(SetDevicePortName(&device_, L"USB007", PORT_NAME_ODD_BYTE)) << Narrow(device_.error);
    ASSERT_TRUE(AddQueueDriver(queues_, kModel, &error)) << Narrow(error);
    ASSERT_TRUE(AddQueue(queues_, L"Unit Test Queue", kModel, L"USB007", &error)) << Narrow(error);
    ASSERT_TRUE(SetUserStringOddSized(hives_, user + L"\\" + kDevicesPath, L"Unit Test Queue", L"winspool,USB007",
                                      &error)) << Narrow(error);
    ASSERT_TRUE(CreateUserKey(hives_, user + L"\\" + kWindowsPath, &error)) << Narrow(error);
    SaveDeviceValues(hives_);
    ResetCoinstallerSeams();
    std::vector<std::wstring> lines = Run();

    const std::wstring full = L"Unit Test Queue,winspool,USB007";
    auto traced = [&](const std::wstring &line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
    EXPECT_TRUE(traced(L"HELDRAVO : PortName = USB007\n")) << Narrow(JoinLines(lines));
    EXPECT_TRUE(traced(L"HELDRAVO : FOUND : Printer Name = \"Unit Test Queue\" Model Name = \"" + std::wstring(kModel) +
                       L"\" Port Name = \"USB007\"\n")) << Narrow(JoinLines(lines));
    EXPECT_TRUE(traced(L"HELDRAVO : " + full + L"\n")) << Narrow(JoinLines(lines));
    RegValues windows;
    ASSERT_TRUE(ReadValues(HKEY_USERS, user + L"\\" + kWindowsPath, &windows));
    EXPECT_TRUE(windows[L"Device"] == SzValue(full)) << Narrow(ValueText(windows[L"Device"]));
    EXPECT_NOTHING_LEAKED();
}

/* ---- GetFullPrinterName and SetDefaultPrinterInRegistry at their edges ---- */

class CoinstallerFullName : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetCoinstallerSeams();
        std::fill(std::begin(destination_), std::end(destination_), L'Z');
    }
    void TearDown() override { RemoveUserKeys(hives_); }
    DWORD Compose(const std::wstring &printer, const wchar_t *user, std::vector<std::wstring> *lines)
    {
        StartTraceCapture();
        DWORD status = GetFullPrinterName(destination_, printer.c_str(), user);
        *lines = StopTraceCapture();
        return status;
    }
    wchar_t destination_[NAME_UNITS + 8];
    HiveFixture hives_;
};

TEST_F(CoinstallerFullName, MissingPrinterAndMissingFullNameAreRefusedWith87)
{
    std::vector<std::wstring> lines;
    StartTraceCapture();
    EXPECT_EQ(GetFullPrinterName(destination_, NULL, kTestUser), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetDefaultPrinterInRegistry(NULL, kTestUser), (DWORD)ERROR_INVALID_PARAMETER);
    lines = StopTraceCapture();
    std::vector<std::wstring> expected = {L"HELDRAVO : GetFullPrinterName() : strPrinter is NULL\n",
                                          L"HELDRAVO : SetDefaultPrinterInRegistry() : strFullPrinterName is NULL\n"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(g_coinstallerSeams.regOpenCalls, 0);
}

TEST_F(CoinstallerFullName, NameOf129UnitsIsRefusedBeforeTheRegistryAnd128IsNot)
{
    std::vector<std::wstring> lines;
    EXPECT_EQ(Compose(std::wstring(129, L'P'), kTestUser, &lines), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(g_coinstallerSeams.regOpenCalls, 0);
    Compose(std::wstring(128, L'P'), kTestUser, &lines);
    EXPECT_EQ(g_coinstallerSeams.regOpenCalls, 1);
    EXPECT_NOTHING_LEAKED();
}

TEST_F(CoinstallerFullName, UnterminatedValueIsTerminatedInsideTheRoom)
{
    std::wstring error;
    std::wstring user = kTestUser;
    /* "Edge" and the comma take 10 bytes; 250 remain, 125 units. */
    std::wstring value(124, L'v');
    ASSERT_TRUE(SetUserStringUnterminated(hives_, user + L"\\" + kDevicesPath, L"Edge", value, &error))
        << Narrow(error);
    std::vector<std::wstring> lines;
    ASSERT_EQ(Compose(L"Edge", kTestUser, &lines), (DWORD)NO_ERROR) << Narrow(JoinLines(lines));
    EXPECT_EQ(std::wstring(destination_), L"Edge," + value);
    EXPECT_TRUE(lines.empty()) << Narrow(JoinLines(lines));
    for (int i = NAME_UNITS / 2; i < NAME_UNITS + 8; i++)
        ASSERT_EQ(destination_[i], L'Z') << "written past the 260-byte room at unit " << i;
    EXPECT_NOTHING_LEAKED();
}

TEST_F(CoinstallerFullName, UnterminatedValueFillingTheWholeRoomFailsWith234)
{
    std::wstring error;
    std::wstring user = kTestUser;
    std::wstring value(125, L'v');
    ASSERT_TRUE(SetUserStringUnterminated(hives_, user + L"\\" + kDevicesPath, L"Edge", value, &error))
        << Narrow(error);
    std::vector<std::wstring> lines;
    EXPECT_EQ(Compose(L"Edge", kTestUser, &lines), (DWORD)ERROR_MORE_DATA);
    std::vector<std::wstring> expected = {
        L"HELDRAVO : GetFullPrinterName(Edge) : RegQueryValueEx() : failed. GetLastError() = 234"};
    EXPECT_EQ(lines, expected);
    for (int i = NAME_UNITS / 2; i < NAME_UNITS + 8; i++)
        ASSERT_EQ(destination_[i], L'Z') << "written past the 260-byte room at unit " << i;
    EXPECT_NOTHING_LEAKED();
}

TEST_F(CoinstallerFullName, TerminatedValueFillingTheWholeRoomFits)
{
    std::wstring error;
    std::wstring user = kTestUser;
    std::wstring value(124, L'v');   /* 248 bytes + terminator = the 250 left */
    ASSERT_TRUE(SetUserString(hives_, user + L"\\" + kDevicesPath, L"Edge", value, &error)) << Narrow(error);
    std::vector<std::wstring> lines;
    EXPECT_EQ(Compose(L"Edge", kTestUser, &lines), (DWORD)NO_ERROR) << Narrow(JoinLines(lines));
    EXPECT_EQ(std::wstring(destination_), L"Edge," + value);
    EXPECT_NOTHING_LEAKED();
}

TEST_F(CoinstallerFullName, ValueOfAnOddByteCountLosesItsDanglingByte)
{
    std::wstring error;
    std::wstring user = kTestUser;
    std::vector<std::wstring> lines;
    /* 31 bytes: "winspool,USB001" and half a unit. */
    ASSERT_TRUE(SetUserStringOddSized(hives_, user + L"\\" + kDevicesPath, L"Edge", L"winspool,USB001", &error))
        << Narrow(error);
    ASSERT_EQ(Compose(L"Edge", kTestUser, &lines), (DWORD)NO_ERROR) << Narrow(JoinLines(lines));
    EXPECT_EQ(std::wstring(destination_), L"Edge,winspool,USB001");
    EXPECT_TRUE(lines.empty()) << Narrow(JoinLines(lines));

    /* 249 of the 250 bytes left: 124 whole units, and room for the terminator. */
    std::wstring value(124, L'v');
    ASSERT_TRUE(SetUserStringOddSized(hives_, user + L"\\" + kDevicesPath, L"Edge", value, &error)) << Narrow(error);
    ASSERT_EQ(Compose(L"Edge", kTestUser, &lines), (DWORD)NO_ERROR) << Narrow(JoinLines(lines));
    EXPECT_EQ(std::wstring(destination_), L"Edge," + value);
    for (int i = NAME_UNITS / 2; i < NAME_UNITS + 8; i++)
        ASSERT_EQ(destination_[i], L'Z') << "written past the 260-byte room at unit " << i;
    EXPECT_NOTHING_LEAKED();
}

TEST_F(CoinstallerFullName, UserKeyTooLongForThePathIsRefusedWith206AndNoKeyIsOpened)
{
    std::wstring user = L"S-1-5-21-7777-7777-7777-1002-" + std::wstring(226, L'L');   /* 255 units */
    std::vector<std::wstring> lines;
    EXPECT_EQ(Compose(L"Office", user.c_str(), &lines), (DWORD)ERROR_FILENAME_EXCED_RANGE);
    std::vector<std::wstring> expected = {
        L"HELDRAVO : GetFullPrinterName(Office) : key path too long for user key " + user +
        L" : failed. GetLastError() = 206\n"};
    EXPECT_EQ(lines, expected);
    StartTraceCapture();
    EXPECT_EQ(SetDefaultPrinterInRegistry(L"Office,winspool,USB001", user.c_str()), (DWORD)ERROR_FILENAME_EXCED_RANGE);
    lines = StopTraceCapture();
    expected = {L"HELDRAVO : SetDefaultPrinterInRegistry(Office,winspool,USB001) : key path too long for user key " +
                user + L" : failed. GetLastError() = 206"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(g_coinstallerSeams.regOpenCalls, 0);
    EXPECT_EQ(g_coinstallerSeams.regSetCalls, 0);
}
