/*
 * The stand-in port client on its own: its command line, its exit codes and
 * its output, and that it really holds, releases and abandons a mutex. Names
 * use tags no guard has, so no guard is needed.
 */
#include <gtest/gtest.h>
#include <windows.h>
#include <stdio.h>
#include <wchar.h>
#include <string>

#include "console_child.h"
#include "guard_harness.h"
#include "mutex_probe.h"
#include "port_client.h"
#include "test_paths.h"

extern "C" {
unsigned HeaderRegisterMessage(void);
unsigned HeaderUnregisterMessage(void);
const wchar_t *HeaderGlobalPrefix(void);
const wchar_t *HeaderMutexInfix(void);
const wchar_t *HeaderTavriken(void);
void HeaderFormatMutexName(wchar_t *buffer, size_t units, const wchar_t *prefix, const wchar_t *tag,
                           ULONG_PTR hPort);
}

namespace {

const wchar_t kTag[] = L"PCTEST01";

int RunClient(const std::wstring &args, std::string *output = nullptr)
{
    std::string ignored;
    DWORD code = 0;
    if (output)
        output->clear();
    if (!RunProcess(Quote(ToolPath(L"port_client.exe")) + L" " + args, 30000, &code, output ? output : &ignored))
        return -1;
    return (int)code;
}

std::wstring Name(ULONG_PTR port)
{
    return PortMutexName(L"Global\\", kTag, port);
}

TEST(PortClientHeader, GivesTheMessageNumbersAndNamePartsToACClient)
{
    EXPECT_EQ(0x047Du, HeaderRegisterMessage());
    EXPECT_EQ(0x047Eu, HeaderUnregisterMessage());
    EXPECT_STREQ(L"Global\\", HeaderGlobalPrefix());
    EXPECT_STREQ(L".HardwareAccess.", HeaderMutexInfix());
    EXPECT_STREQ(L"TAVRIKEN", HeaderTavriken());
    wchar_t name[128];
    HeaderFormatMutexName(name, 128, L"Global\\", L"TAVRIKEN", 0x2A);
    EXPECT_STREQ(L"Global\\TAVRIKEN.HardwareAccess.000000000000002a", name);
    HeaderFormatMutexName(name, 128, L"", L"BRAXUNET", (ULONG_PTR)0xFEDCBA9876543210ull);
    EXPECT_STREQ(L"BRAXUNET.HardwareAccess.fedcba9876543210", name);
}

/* A C++ client may format the name with the C library's swprintf, which here
   follows ISO rules (%s is a narrow string), or with the Microsoft-style
   _snwprintf (%s is wide): the header's format must give the same name with
   both. */
TEST(PortClientHeader, NameFormatGivesTheAgreedNameWithEitherFormatterInACppClient)
{
    const char narrow[4] = "ab";
    wchar_t probe[8];
    ASSERT_EQ(2, swprintf(probe, 8, L"%s", narrow)) << "this client's swprintf does not follow ISO rules";
    ASSERT_EQ(2, _snwprintf(probe, 7, L"%s", L"ab")) << "this client's _snwprintf does not follow Microsoft's rules";

    struct Case { const wchar_t *prefix, *tagAndInfix; ULONG_PTR hPort; const wchar_t *name; };
    const Case cases[] = {
        { POWER_GUARD_GLOBAL_PREFIX, POWER_GUARD_TAG_TAVRIKEN POWER_GUARD_MUTEX_INFIX, 0x2A,
          L"Global\\TAVRIKEN.HardwareAccess.000000000000002a" },
        { L"", POWER_GUARD_TAG_BRAXUNET POWER_GUARD_MUTEX_INFIX, (ULONG_PTR)0xFEDCBA9876543210ull,
          L"BRAXUNET.HardwareAccess.fedcba9876543210" },
        { POWER_GUARD_GLOBAL_PREFIX, POWER_GUARD_TAG_SOLMEDAR POWER_GUARD_MUTEX_INFIX, (ULONG_PTR)-1,
          L"Global\\SOLMEDAR.HardwareAccess.ffffffffffffffff" },
    };
    for (const Case &c : cases) {
        wchar_t name[POWER_GUARD_MUTEX_NAME_UNITS];
        int n = swprintf(name, POWER_GUARD_MUTEX_NAME_UNITS, POWER_GUARD_MUTEX_NAME_FORMAT, c.prefix, c.tagAndInfix,
                         c.hPort);
        EXPECT_EQ((int)wcslen(c.name), n) << "swprintf: " << Narrow(c.name);
        EXPECT_STREQ(c.name, n >= 0 ? name : L"") << "swprintf";

        wmemset(name, L'#', POWER_GUARD_MUTEX_NAME_UNITS);
        n = _snwprintf(name, POWER_GUARD_MUTEX_NAME_UNITS - 1, POWER_GUARD_MUTEX_NAME_FORMAT, c.prefix,
                       c.tagAndInfix, c.hPort);
        name[POWER_GUARD_MUTEX_NAME_UNITS - 1] = L'\0';
        EXPECT_EQ((int)wcslen(c.name), n) << "_snwprintf: " << Narrow(c.name);
        EXPECT_STREQ(c.name, name) << "_snwprintf";
    }
}

TEST(PortClient, BadCommandLinesExitWithOneAndSayWhy)
{
    const wchar_t *bad[] = {
        L"", L"bogus", L"register", L"register x", L"register 1 x", L"hold 1", L"hold 1 abc", L"hold x 10",
        L"try", L"--wait-ms", L"--wait-ms -5 try 1", L"--wait-ms 4294967295 try 1", L"--prefix maybe try 1",
        L"--tag bad-tag name 1", L"--tag PCTEST01", L"exit-holding 1 try 1", L"name 0x", L"name 18446744073709551616",
        L"--bogus 1 try 1",
    };
    for (const wchar_t *args : bad) {
        std::string output;
        EXPECT_EQ(1, RunClient(args, &output)) << Narrow(args);
        EXPECT_NE(std::string::npos, output.find("port_client: ")) << Narrow(args) << ": " << output;
        EXPECT_NE(std::string::npos, output.find("usage: port_client")) << Narrow(args) << ": " << output;
    }
}

TEST(PortClient, ABadCommandLineDoesNothingAtAll)
{
    std::wstring args = std::wstring(L"--tag ") + kTag + L" name 1 try 9 bogus";
    std::string output;
    EXPECT_EQ(1, RunClient(args, &output));
    EXPECT_EQ(std::string::npos, output.find("Global")) << "checked before anything runs: " << output;
    EXPECT_EQ(std::string::npos, output.find("held")) << output;
}

TEST(PortClient, HelpDescribesTheCommandsAndExitCodes)
{
    std::string output;
    EXPECT_EQ(0, RunClient(L"--help", &output));
    for (const char *word : { "usage: port_client", "register", "unregister", "hold", "exit-holding", "--tag",
                              "--wait-ms", "exit codes" })
        EXPECT_NE(std::string::npos, output.find(word)) << word;
}

TEST(PortClient, NamesFollowTheGuardsRule)
{
    std::string output;
    EXPECT_EQ(0, RunClient(L"name 42 name 0x2A --prefix none --tag SOLMEDAR name 0xffffffffffffffff", &output));
    EXPECT_EQ("Global\\TAVRIKEN.HardwareAccess.000000000000002a\n"
              "Global\\TAVRIKEN.HardwareAccess.000000000000002a\n"
              "SOLMEDAR.HardwareAccess.ffffffffffffffff\n",
              output);
}

TEST(PortClient, WithoutAGuardWindowRegistrationExitsWithTwo)
{
    std::string output;
    EXPECT_EQ(2, RunClient(L"--tag NOGUARD1 --find-ms 0 register 1", &output));
    EXPECT_NE(std::string::npos, output.find("NOGUARD1")) << output;
}

/* A window whose thread never pumps: messages to it are never answered. */
DWORD WINAPI DeafWindowThread(void *param)
{
    HANDLE *events = (HANDLE *)param;
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.lpszClassName = L"PCDEAF01";
    RegisterClassW(&wc);
    HWND w = CreateWindowExW(0, L"PCDEAF01", L"PCDEAF01", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, NULL, NULL,
                             wc.hInstance, NULL);
    SetEvent(events[0]);
    WaitForSingleObject(events[1], 30000);
    if (w)
        DestroyWindow(w);
    return w ? 0 : 1;
}

TEST(PortClient, AGuardThatDoesNotAnswerExitsWithFive)
{
    HANDLE events[2] = { CreateEventW(NULL, TRUE, FALSE, NULL), CreateEventW(NULL, TRUE, FALSE, NULL) };
    HANDLE thread = CreateThread(NULL, 0, DeafWindowThread, events, 0, NULL);
    ASSERT_NE((HANDLE)NULL, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(events[0], 10000));
    std::string output;
    EXPECT_EQ(5, RunClient(L"--tag PCDEAF01 --send-ms 300 register 1", &output)) << output;
    SetEvent(events[1]);
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    CloseHandle(events[0]);
    CloseHandle(events[1]);
}

TEST(PortClient, HoldTakesTheMutexAndReleasesIt)
{
    std::wstring event = L"pc-test-release-" + std::to_wstring(GetCurrentProcessId());
    HANDLE release = CreateEventW(NULL, TRUE, FALSE, event.c_str());
    ASSERT_NE((HANDLE)NULL, release);
    std::wstring error;
    ConsoleChild *c = StartConsoleChild(Quote(ToolPath(L"port_client.exe")) + L" --tag " + kTag +
                                        L" --release-event " + event + L" hold 7 30000", &error);
    ASSERT_NE(nullptr, c) << Narrow(error);
    ASSERT_TRUE(WaitForConsoleOutput(c, "held 7\n", 20000)) << ConsoleOutput(c);
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitFromOtherThread(Name(7), 200));

    SetEvent(release);
    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(WaitConsoleExit(c, 20000, &code));
    EXPECT_EQ(0u, code);
    EXPECT_EQ("held 7\nreleased 7\n", ConsoleOutput(c));
    CloseConsoleChild(c);
    CloseHandle(release);
}

TEST(PortClient, ABusyPortTimesOutWithThree)
{
    MutexHolder *holder = HoldOnOtherThread(Name(8), 5000);
    ASSERT_NE(nullptr, holder);
    std::string output;
    EXPECT_EQ(3, RunClient(std::wstring(L"--tag ") + kTag + L" --wait-ms 200 try 8", &output));
    EXPECT_EQ("timeout 8\n", output);
    EXPECT_EQ(3, RunClient(std::wstring(L"--tag ") + kTag + L" --wait-ms 200 cycle 8 5", &output));
    ReleaseHolder(holder);

    EXPECT_EQ(0, RunClient(std::wstring(L"--tag ") + kTag + L" try 8 cycle 0x8 100", &output));
    EXPECT_EQ("held 8\nreleased 8\ncycled 0x8 100\n", output);
}

TEST(PortClient, ExitHoldingLeavesTheMutexAbandoned)
{
    HANDLE mine = CreateMutexW(NULL, FALSE, Name(9).c_str());   /* keeps the object past the client */
    ASSERT_NE((HANDLE)NULL, mine);
    std::string output;
    EXPECT_EQ(0, RunClient(std::wstring(L"--tag ") + kTag + L" exit-holding 9", &output));
    EXPECT_EQ("held 9\n", output);
    EXPECT_EQ((DWORD)WAIT_ABANDONED, WaitHandleFromOtherThread(mine, 5000));

    EXPECT_EQ(0, RunClient(std::wstring(L"--tag ") + kTag + L" exit-holding 9"));
    EXPECT_EQ(0, RunClient(std::wstring(L"--tag ") + kTag + L" try 9", &output));
    EXPECT_EQ("abandoned 9\nheld 9\nreleased 9\n", output);
    CloseHandle(mine);
}

TEST(PortClient, ANameTakenByAnotherKindOfObjectExitsWithFour)
{
    HANDLE squatter = CreateEventW(NULL, TRUE, FALSE, Name(10).c_str());
    ASSERT_NE((HANDLE)NULL, squatter);
    std::string output;
    EXPECT_EQ(4, RunClient(std::wstring(L"--tag ") + kTag + L" try 10", &output));
    EXPECT_NE(std::string::npos, output.find("port_client: ")) << output;
    CloseHandle(squatter);
}

}  // namespace
