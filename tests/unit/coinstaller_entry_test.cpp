/*
 * The co-installer's entry: its answer and trace for every DIF code, on the
 * way down and in post-processing, and the trace routine's line format.
 */
#include <gtest/gtest.h>

#include "coinstaller_under_test.h"
#include "trace_capture.h"

namespace {

/* SetupAPI's DIF names; codes without one are traced as "?????". */
std::wstring ExpectedName(DWORD code)
{
    static const wchar_t *const names[] = {
        NULL, L"DIF_SELECTDEVICE", L"DIF_INSTALLDEVICE", L"DIF_ASSIGNRESOURCES", L"DIF_PROPERTIES",
        L"DIF_REMOVE", L"DIF_FIRSTTIMESETUP", L"DIF_FOUNDDEVICE", L"DIF_SELECTCLASSDRIVERS",
        L"DIF_VALIDATECLASSDRIVERS", L"DIF_INSTALLCLASSDRIVERS", L"DIF_CALCDISKSPACE",
        L"DIF_DESTROYPRIVATEDATA", L"DIF_VALIDATEDRIVER", L"DIF_MOVEDEVICE", L"DIF_DETECT",
        L"DIF_INSTALLWIZARD", L"DIF_DESTROYWIZARDDATA", L"DIF_PROPERTYCHANGE", L"DIF_ENABLECLASS",
        L"DIF_DETECTVERIFY", L"DIF_INSTALLDEVICEFILES", NULL, L"DIF_SELECTBESTCOMPATDRV",
        L"DIF_ALLOW_INSTALL", L"DIF_REGISTERDEVICE", L"DIF_NEWDEVICEWIZARD_PRESELECT",
        L"DIF_NEWDEVICEWIZARD_SELECT", L"DIF_NEWDEVICEWIZARD_PREANALYZE",
        L"DIF_NEWDEVICEWIZARD_POSTANALYZE", L"DIF_NEWDEVICEWIZARD_FINISHINSTALL", NULL,
        L"DIF_INSTALLINTERFACES", L"DIF_DETECTCANCEL", L"DIF_REGISTER_COINSTALLERS",
        L"DIF_ADDPROPERTYPAGE_ADVANCED", L"DIF_ADDPROPERTYPAGE_BASIC", NULL, L"DIF_TROUBLESHOOTER",
        L"DIF_POWERMESSAGEWAKE"};
    if (code < sizeof(names) / sizeof(names[0]) && names[code] != NULL)
        return std::wstring(L"HELDRAVO : ") + names[code] + L"\n";
    return L"HELDRAVO : ?????\n";
}

void CheckEveryOtherCode(BOOL postProcessing)
{
    for (DWORD code = 0; code <= 45; code++) {
        if (code == DIF_INSTALLDEVICE)
            continue;
        COINSTALLER_CONTEXT_DATA context;
        ZeroMemory(&context, sizeof(context));
        context.PostProcessing = postProcessing;
        ResetCoinstallerSeams();
        StartTraceCapture();
        DWORD result = CoInstallerE(code, INVALID_HANDLE_VALUE, NULL, &context);
        std::vector<std::wstring> lines = StopTraceCapture();
        EXPECT_EQ(result, (DWORD)NO_ERROR) << "code " << code;
        ASSERT_EQ(lines.size(), 1u) << "code " << code;
        EXPECT_EQ(lines[0], ExpectedName(code)) << "code " << code;
        EXPECT_EQ(g_coinstallerSeams.regOpenCalls + g_coinstallerSeams.globalAllocCalls +
                  g_coinstallerSeams.enumPrintersCalls, 0) << "code " << code << " did procedure work";
    }
}

}  // namespace

TEST(CoinstallerEntry, EveryOtherCodeOnTheWayDownIsTracedAndAnswersNoError)
{
    CheckEveryOtherCode(FALSE);
}

TEST(CoinstallerEntry, EveryOtherCodeInPostProcessingIsTracedAndAnswersNoError)
{
    CheckEveryOtherCode(TRUE);
}

TEST(CoinstallerEntry, InstallDeviceOnTheWayDownAsksForPostProcessingAndDoesNothingElse)
{
    COINSTALLER_CONTEXT_DATA context;
    ZeroMemory(&context, sizeof(context));
    ResetCoinstallerSeams();
    StartTraceCapture();
    DWORD result = CoInstallerE(DIF_INSTALLDEVICE, INVALID_HANDLE_VALUE, NULL, &context);
    std::vector<std::wstring> lines = StopTraceCapture();
    EXPECT_EQ(result, (DWORD)0xE0000226);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], L"HELDRAVO : DIF_INSTALLDEVICE\n");
    EXPECT_EQ(g_coinstallerSeams.regOpenCalls, 0);
    EXPECT_EQ(g_coinstallerSeams.globalAllocCalls, 0);
    EXPECT_EQ(g_coinstallerSeams.enumPrintersCalls, 0);
}

/* A successful installation runs the procedure, whose failures never reach
   the installer; a failed one is answered with its own result, untouched. */
TEST(CoinstallerEntry, InstallDevicePostProcessingRunsOnlyAfterASuccessAndKeepsAFailure)
{
    const DWORD results[] = { NO_ERROR, ERROR_GEN_FAILURE, ERROR_NO_DRIVER_SELECTED };
    for (DWORD installResult : results) {
        COINSTALLER_CONTEXT_DATA context;
        ZeroMemory(&context, sizeof(context));
        context.PostProcessing = TRUE;
        context.InstallResult = installResult;
        ResetCoinstallerSeams();
        StartTraceCapture();
        DWORD result = CoInstallerE(DIF_INSTALLDEVICE, INVALID_HANDLE_VALUE, NULL, &context);
        std::vector<std::wstring> lines = StopTraceCapture();
        EXPECT_EQ(result, installResult);
        std::vector<std::wstring> expected = { L"HELDRAVO : DIF_INSTALLDEVICE PostProcessing\n" };
        if (installResult == NO_ERROR) {
            expected.push_back(L"HELDRAVO : GetPrinterModelName() : SetupDiGetSelectedDriver() failed. GetLastError() = 6\n");
            expected.push_back(L"HELDRAVO : GetPrinterModelName() failed. GetLastError() = 6\n");
        } else {
            expected.push_back(L"HELDRAVO : DIF_INSTALLDEVICE PostProcessing : installation failed. GetLastError() = " +
                               std::to_wstring((int)installResult) + L"\n");
            EXPECT_EQ(g_coinstallerSeams.globalAllocCalls, 0);
        }
        EXPECT_EQ(lines, expected) << "InstallResult " << installResult;
        EXPECT_EQ(g_coinstallerSeams.regOpenCalls, 0);
        EXPECT_EQ(g_coinstallerSeams.enumPrintersCalls, 0);
    }
}

TEST(CoinstallerTrace, LineIsTagColonThenFormattedTextWithItsOwnLineEnd)
{
    StartTraceCapture();
    DebugTrace(L"RegEnumKeyEx(%d) : failed. GetLastError() = %d\n", 3, 259);
    DebugTrace(L"%s : no line end", L"text");
    DebugTrace(L"%s", std::wstring(1500, L'w').c_str());
    std::vector<std::wstring> lines = StopTraceCapture();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], L"HELDRAVO : RegEnumKeyEx(3) : failed. GetLastError() = 259\n");
    EXPECT_EQ(lines[1], L"HELDRAVO : text : no line end");
    /* The formatter writes at most 1024 units; the line buffer holds them. */
    EXPECT_EQ(lines[2].compare(0, 11, L"HELDRAVO : "), 0);
    EXPECT_GE(lines[2].size(), 11u + 1000u);
    EXPECT_LE(lines[2].size(), 11u + 1024u);
}

TEST(CoinstallerKeyPath, FormatsWhatFitsAndRefusesOneUnitMoreWithoutWritingPastTheBuffer)
{
    const int units = 260;
    std::vector<wchar_t> buffer(units + 16, L'#');
    const wchar_t *format = L"%s\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
    int suffix = lstrlenW(format) - 2;

    std::wstring fits(units - 1 - suffix, L'S');
    EXPECT_EQ(FormatKeyPath(buffer.data(), units, format, fits.c_str()), (DWORD)NO_ERROR);
    EXPECT_EQ(std::wstring(buffer.data()), fits + (format + 2));

    std::fill(buffer.begin(), buffer.end(), L'#');
    std::wstring tooLong(units - suffix, L'S');
    EXPECT_EQ(FormatKeyPath(buffer.data(), units, format, tooLong.c_str()), (DWORD)ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(buffer[0], L'\0');
    for (int i = units; i < units + 16; i++)
        ASSERT_EQ(buffer[i], L'#') << "written past the buffer at unit " << i;

    std::wstring muchLonger(255, L'S');
    std::fill(buffer.begin(), buffer.end(), L'#');
    EXPECT_EQ(FormatKeyPath(buffer.data(), units, format, muchLonger.c_str()), (DWORD)ERROR_FILENAME_EXCED_RANGE);
    for (int i = units; i < units + 16; i++)
        ASSERT_EQ(buffer[i], L'#') << "written past the buffer at unit " << i;
}
