/*
 * The trace viewer on the debug-output channels: the real guard's start-up
 * seen with its process id and in order, every line of a fast burst from two
 * writers, traces with several line ends or none, the stop options, the
 * session's and the global channel in one stream, going on with one channel
 * when the other is held and refusing when both are (leaving an earlier log
 * as it was), and the global objects' security.
 */
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>
#include <stdio.h>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "console_child.h"
#include "guard_harness.h"
#include "port_client.h"
#include "test_paths.h"

namespace {

struct ShownLine {
    char channel;   /* S or G */
    DWORD pid;
    std::string text;
};

/* The trace lines among the viewer's output ("hh:mm:ss.mmm C    pid text");
   notices ("trace_viewer: ...") are left out. *malformed counts the rest. */
std::vector<ShownLine> ParseShown(const std::string &output, int *malformed = nullptr)
{
    std::vector<ShownLine> lines;
    size_t at = 0;
    int bad = 0;
    while (at < output.size()) {
        size_t end = output.find('\n', at);
        if (end == std::string::npos)
            end = output.size();
        std::string line = output.substr(at, end - at);
        at = end + 1;
        if (line.compare(0, 13, "trace_viewer:") == 0)
            continue;
        unsigned h, m, s, ms;
        unsigned long pid;
        char channel = 0;
        int used = 0;
        if (line.size() < 22 || sscanf(line.c_str(), "%2u:%2u:%2u.%3u %c %lu%n", &h, &m, &s, &ms, &channel, &pid,
                                       &used) != 6 ||
            line[2] != ':' || line[8] != '.' || (channel != 'S' && channel != 'G') || used >= (int)line.size() ||
            line[used] != ' ') {
            bad++;
            continue;
        }
        lines.push_back({ channel, (DWORD)pid, line.substr(used + 1) });
    }
    if (malformed)
        *malformed = bad;
    return lines;
}

std::vector<std::string> Texts(const std::vector<ShownLine> &lines)
{
    std::vector<std::string> texts;
    for (const ShownLine &l : lines)
        texts.push_back(l.text);
    return texts;
}

/* Starts the viewer and waits until it listens. */
ConsoleChild *StartViewer(const std::wstring &arguments)
{
    std::wstring error;
    ConsoleChild *viewer = StartConsoleChild(Quote(ToolPath(L"trace_viewer.exe")) + L" " + arguments, &error);
    EXPECT_TRUE(viewer != nullptr) << Narrow(error);
    if (viewer && !WaitForConsoleOutput(viewer, "trace_viewer: listening", 20000)) {
        ADD_FAILURE() << "the viewer did not start listening: " << ConsoleOutput(viewer);
        CloseConsoleChild(viewer);
        return nullptr;
    }
    return viewer;
}

/* Waits for the viewer's end; its exit code, or -1 when it did not end. */
int FinishViewer(ConsoleChild *viewer, DWORD timeoutMs, std::string *output)
{
    DWORD code = 0;
    bool ended = WaitConsoleExit(viewer, timeoutMs, &code);
    *output = ConsoleOutput(viewer);
    return ended ? (int)code : -1;
}

struct Burst {
    wchar_t name;
    int count;
};

DWORD WINAPI EmitBurst(void *param)
{
    const Burst *burst = (const Burst *)param;
    for (int i = 0; i < burst->count; i++) {
        wchar_t text[64];
        swprintf(text, 64, L"VIEWLOAD %lc %05d\n", (wint_t)burst->name, i);
        OutputDebugStringW(text);
    }
    return 0;
}

class TraceViewer : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (ConsoleChild *viewer : viewers_)
            CloseConsoleChild(viewer);
        if (guard_.hProcess) {
            if (WaitForSingleObject(guard_.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(guard_.hProcess, 1);
                WaitForSingleObject(guard_.hProcess, 10000);
            }
            CloseHandle(guard_.hProcess);
            CloseHandle(guard_.hThread);
        }
    }
    ConsoleChild *Viewer(const std::wstring &arguments)
    {
        ConsoleChild *viewer = StartViewer(arguments);
        if (viewer)
            viewers_.push_back(viewer);
        return viewer;
    }

    std::vector<ConsoleChild *> viewers_;
    PROCESS_INFORMATION guard_ = {};
};

TEST_F(TraceViewer, ShowsTheRealGuardsTraceInOrderWithItsProcessIdAndFiltersByTag)
{
    ConsoleChild *viewer = Viewer(L"--tag TAVRIKEN --count 8 --duration 60000 --flush");
    ASSERT_TRUE(viewer);
    /* Traces of others go first on the channel; the tag keeps them out, or
       they would take the place of guard lines among the eight. */
    OutputDebugStringW(L"SOLMEDARWinMain() : not the guard asked for\n");
    OutputDebugStringW(L"untagged text\n");
    OutputDebugStringW(L"xTAVRIKEN does not begin with the tag\n");

    ASSERT_TRUE(StartProcess(Quote(DistPath(L"TAVRIKEN.exe")), &guard_));
    HWND window = FindGuardWindow(L"TAVRIKEN", guard_.dwProcessId, 10000);
    ASSERT_TRUE(window != NULL) << "no guard window";
    DWORD_PTR answer = 1;
    ASSERT_TRUE(SendMessageTimeoutW(window, WM_POWREGISTER, 0x2A, 0, SMTO_NORMAL, 10000, &answer));
    ASSERT_TRUE(SendMessageTimeoutW(window, WM_CLOSE, 0, 0, SMTO_NORMAL, 10000, &answer));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(guard_.hProcess, 10000));

    std::string output;
    ASSERT_EQ(0, FinishViewer(viewer, 30000, &output)) << output;
    int malformed = 0;
    std::vector<ShownLine> shown = ParseShown(output, &malformed);
    EXPECT_EQ(0, malformed) << output;
    std::vector<std::string> expected = {
        "TAVRIKEN--------------------------------------- WinMain ---------------------------",
        "TAVRIKENWinMain() : SecurityDescriptor : SUCCESS",
        "TAVRIKENWinMain() : CreateEvent(Global\\TAVRIKEN.OnlyOneInstance) SUCCESS",
        "TAVRIKENOnPowRegister() :.......",
        "TAVRIKENOnPowRegister() : SecurityDescriptor : SUCCESS",
        "TAVRIKENOnPowRegister() : CreateMutex(Global\\TAVRIKEN.HardwareAccess.000000000000002a) SUCCESS",
        "TAVRIKENOnPowRegister() : Dump() : 1 Item(s)",
        "TAVRIKEN[0] hPort = 000000000000002a, hMutex = ",
    };
    std::vector<std::string> texts = Texts(shown);
    ASSERT_EQ(expected.size(), texts.size()) << output;
    /* The last line ends with the guard's handle value, which varies. */
    ASSERT_EQ(expected.back().size() + 16, texts.back().size()) << texts.back();
    texts.back().resize(expected.back().size());
    EXPECT_EQ(expected, texts) << output;
    for (const ShownLine &line : shown) {
        EXPECT_EQ(guard_.dwProcessId, line.pid) << line.text;
        EXPECT_EQ('S', line.channel) << line.text;
    }
}

TEST_F(TraceViewer, ShowsEveryLineOfAFastBurstFromTwoWritersInEachWritersOrder)
{
    const int perWriter = 3000;
    ConsoleChild *viewer = Viewer(L"--tag VIEWLOAD --count 6000 --duration 240000");
    ASSERT_TRUE(viewer);

    Burst bursts[2] = { { L'A', perWriter }, { L'B', perWriter } };
    HANDLE threads[2];
    for (int i = 0; i < 2; i++) {
        threads[i] = CreateThread(NULL, 0, EmitBurst, &bursts[i], 0, NULL);
        ASSERT_TRUE(threads[i] != NULL);
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, threads, TRUE, 240000));
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);

    std::string output;
    ASSERT_EQ(0, FinishViewer(viewer, 240000, &output)) << "the viewer missed lines; it showed "
                                                        << ParseShown(output).size();
    int malformed = 0;
    std::vector<ShownLine> shown = ParseShown(output, &malformed);
    EXPECT_EQ(0, malformed);
    ASSERT_EQ((size_t)(2 * perWriter), shown.size());
    int next[2] = { 0, 0 };
    for (const ShownLine &line : shown) {
        char name = 0;
        int number = -1;
        ASSERT_EQ(2, sscanf(line.text.c_str(), "VIEWLOAD %c %d", &name, &number)) << line.text;
        ASSERT_TRUE(name == 'A' || name == 'B') << line.text;
        int writer = name - 'A';
        ASSERT_EQ(next[writer], number) << "out of order, lost or repeated: " << line.text;
        next[writer]++;
        EXPECT_EQ(GetCurrentProcessId(), line.pid);
    }
    EXPECT_EQ(perWriter, next[0]);
    EXPECT_EQ(perWriter, next[1]);
}

TEST_F(TraceViewer, PrintsOneLineForEveryTraceWhateverItsLineEnds)
{
    std::wstring logPath = TempDirFor(L"viewer_log") + L"\\trace.log";
    ConsoleChild *viewer = Viewer(L"--tag VIEWTEXT --until \"VIEWTEXT last\" --duration 60000 --log " +
                                  Quote(logPath));
    ASSERT_TRUE(viewer);
    std::string longText(3000, 'x');
    OutputDebugStringW(L"VIEWTEXT two\nlines\n");
    OutputDebugStringW(L"VIEWTEXT none");
    OutputDebugStringW(L"VIEWTEXT crlf\r\n");
    OutputDebugStringW(L"VIEWTEXT blank after\n\n");
    OutputDebugStringW(L"VIEWTEXT tab\there\x01");
    OutputDebugStringW(L"VIEWTEXT \ninside\r\nand cr\r.\n");
    OutputDebugStringA(("VIEWTEXT " + longText + "\n").c_str());
    OutputDebugStringW(L"VIEWTEXT last one");
    OutputDebugStringW(L"VIEWTEXT after the last, not shown\n");

    std::string output;
    ASSERT_EQ(0, FinishViewer(viewer, 30000, &output)) << output;
    int malformed = 0;
    std::vector<std::string> texts = Texts(ParseShown(output, &malformed));
    EXPECT_EQ(0, malformed) << output;
    std::vector<std::string> expected = {
        "VIEWTEXT two\\nlines",
        "VIEWTEXT none",
        "VIEWTEXT crlf",
        "VIEWTEXT blank after\\n",
        "VIEWTEXT tab\there\\x01",
        "VIEWTEXT \\ninside\\nand cr\\r.",
        "VIEWTEXT " + longText,
        "VIEWTEXT last one",
    };
    EXPECT_EQ(expected, texts) << output;

    /* The log holds the same lines. */
    FILE *log = _wfopen(logPath.c_str(), L"rb");
    ASSERT_TRUE(log != nullptr);
    std::string logged;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), log)) > 0)
        logged.append(chunk, got);
    fclose(log);
    DeleteFileW(logPath.c_str());
    EXPECT_EQ(expected, Texts(ParseShown(logged)));
}

TEST_F(TraceViewer, StopsWhenTheTimeIsUpAndSaysSoWhenTheCountWasNotReached)
{
    std::string output;
    ConsoleChild *viewer = Viewer(L"--tag VIEWNEVER --count 1 --duration 300");
    ASSERT_TRUE(viewer);
    EXPECT_EQ(4, FinishViewer(viewer, 30000, &output)) << output;

    viewer = Viewer(L"--tag VIEWNEVER --duration 300");
    ASSERT_TRUE(viewer);
    EXPECT_EQ(0, FinishViewer(viewer, 30000, &output)) << output;

    DWORD code = 0;
    std::string usage;
    ASSERT_TRUE(RunProcess(Quote(ToolPath(L"trace_viewer.exe")) + L" --count x", 30000, &code, &usage));
    EXPECT_EQ(1u, code) << usage;
    EXPECT_NE(std::string::npos, usage.find("--count")) << usage;
}

/* Sends text through the global channel as a session-0 process does; the
   writer's process id, 0 when it failed. */
DWORD WriteGlobal(const std::wstring &text)
{
    PROCESS_INFORMATION pi = {};
    DWORD code = 99;
    if (StartProcess(Quote(ToolPath(L"global_writer.exe")) + L" \"" + text + L"\"", &pi)) {
        WaitForSingleObject(pi.hProcess, 30000);   /* still running: exit code 259 */
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    EXPECT_EQ(0u, code) << "global_writer's exit code";
    return code == 0 ? pi.dwProcessId : 0;
}

TEST_F(TraceViewer, ShowsTheSessionAndTheGlobalChannelInOneStreamEachLineMarked)
{
    ConsoleChild *viewer = Viewer(L"--tag VIEWBOTH --count 2 --duration 60000");
    ASSERT_TRUE(viewer);
    OutputDebugStringW(L"VIEWBOTH from this session\n");
    DWORD writer = WriteGlobal(L"VIEWBOTH from session 0");
    ASSERT_NE(0u, writer);

    std::string output;
    ASSERT_EQ(0, FinishViewer(viewer, 30000, &output)) << output;
    std::vector<ShownLine> shown = ParseShown(output);
    ASSERT_EQ(2u, shown.size()) << output;
    EXPECT_TRUE(shown[0].channel == 'S' && shown[0].pid == GetCurrentProcessId() &&
                shown[0].text == "VIEWBOTH from this session") << output;
    EXPECT_TRUE(shown[1].channel == 'G' && shown[1].pid == writer && shown[1].text == "VIEWBOTH from session 0")
        << output << " (writer " << writer << ")";
}

TEST_F(TraceViewer, GoesOnWithOneChannelWhileAnotherViewerHoldsTheOtherAndRefusesWhenBothAreHeld)
{
    ConsoleChild *first = Viewer(L"--global-only --tag VIEWHELD --count 1 --duration 60000");
    ASSERT_TRUE(first);
    ConsoleChild *session = Viewer(L"--tag VIEWHELD --count 1 --duration 60000");
    ASSERT_TRUE(session);

    /* The refused viewer must not have emptied its log file. */
    std::wstring logPath = TempDirFor(L"viewer_held") + L"\\earlier.log";
    FILE *log = _wfopen(logPath.c_str(), L"wb");
    ASSERT_TRUE(log != nullptr);
    fputs("an earlier capture\n", log);
    fclose(log);
    DWORD code = 0;
    std::string output;
    ASSERT_TRUE(RunProcess(Quote(ToolPath(L"trace_viewer.exe")) + L" --duration 5000 --log " + Quote(logPath), 30000,
                           &code, &output));
    EXPECT_EQ(2u, code) << output;
    char kept[64] = {};
    log = _wfopen(logPath.c_str(), L"rb");
    ASSERT_TRUE(log != nullptr);
    fread(kept, 1, sizeof(kept) - 1, log);
    fclose(log);
    DeleteFileW(logPath.c_str());
    EXPECT_STREQ("an earlier capture\n", kept);
    const std::string held = " is held by another debug-output viewer (";
    EXPECT_NE(std::string::npos, output.find("this session's channel" + held + "DBWIN_BUFFER_READY exists)")) << output;
    const std::string global = "the global channel (session 0: services, the device installer)" + held;
    EXPECT_NE(std::string::npos, output.find(global + "Global\\DBWIN_BUFFER_READY exists)")) << output;
    EXPECT_EQ(std::string::npos, output.find("listening")) << output;

    /* The second viewer named the held channel and kept the other; the
       refused third disturbed neither. */
    EXPECT_NE(std::string::npos, ConsoleOutput(session).find(global)) << ConsoleOutput(session);
    OutputDebugStringW(L"VIEWHELD session line\n");
    ASSERT_NE(0u, WriteGlobal(L"VIEWHELD global line"));
    ASSERT_EQ(0, FinishViewer(session, 30000, &output)) << output;
    EXPECT_EQ(std::vector<std::string>{ "VIEWHELD session line" }, Texts(ParseShown(output)));
    ASSERT_EQ(0, FinishViewer(first, 30000, &output)) << output;
    EXPECT_EQ(std::vector<std::string>{ "VIEWHELD global line" }, Texts(ParseShown(output)));
}

TEST_F(TraceViewer, RefusesAChannelWhoseSharedBufferAloneExists)
{
    const wchar_t *const names[2] = { L"DBWIN_BUFFER", L"Global\\DBWIN_BUFFER" };
    const wchar_t *const options[2] = { L" --session-only", L" --global-only" };
    for (int i = 0; i < 2; i++) {
        HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, names[i]);
        ASSERT_TRUE(mapping != NULL) << GetLastError();
        EXPECT_NE((DWORD)ERROR_ALREADY_EXISTS, GetLastError()) << "a listener runs already";
        DWORD code = 0;
        std::string output;
        EXPECT_TRUE(RunProcess(Quote(ToolPath(L"trace_viewer.exe")) + options[i] + L" --duration 5000", 30000,
                               &code, &output));
        CloseHandle(mapping);
        EXPECT_EQ(2u, code) << output;
        EXPECT_NE(std::string::npos, output.find(Narrow(names[i]) + " exists")) << output;
    }
}

/* The object's ACEs other than the owner's, as "type:SID" -> rights. */
std::map<std::string, ACCESS_MASK> OthersAces(PACL dacl, PSID owner)
{
    std::map<std::string, ACCESS_MASK> aces;
    for (DWORD i = 0; dacl && i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *ace = NULL;
        wchar_t *sid = NULL;
        if (!GetAce(dacl, i, (void **)&ace) || EqualSid(&ace->SidStart, owner))
            continue;
        ConvertSidToStringSidW(&ace->SidStart, &sid);
        aces[std::to_string(ace->Header.AceType) + ":" + Narrow(sid ? sid : L"?")] |= ace->Mask;
        LocalFree(sid);
    }
    return aces;
}

/* Every account (SYSTEM, LocalService, NetworkService, a service's own, any
   user) through Everyone, allow-only, with exactly a writer's rights. */
TEST_F(TraceViewer, GlobalObjectsLetEveryAccountWriteAndOnlyTheViewersUserListenOrChangeThem)
{
    ConsoleChild *viewer = Viewer(L"--global-only --duration 60000");
    ASSERT_TRUE(viewer);
    BYTE user[256];
    DWORD cb = 0;
    ASSERT_TRUE(GetTokenInformation(GetCurrentProcessToken(), TokenUser, user, sizeof(user), &cb)) << GetLastError();
    const wchar_t *const names[3] = { L"Global\\DBWIN_BUFFER_READY", L"Global\\DBWIN_DATA_READY",
                                      L"Global\\DBWIN_BUFFER" };
    const ACCESS_MASK needed[3] = { SYNCHRONIZE, EVENT_MODIFY_STATE, FILE_MAP_WRITE };
    for (int i = 0; i < 3; i++) {
        HANDLE h = i < 2 ? OpenEventW(READ_CONTROL, FALSE, names[i])
                         : OpenFileMappingW(READ_CONTROL, FALSE, names[i]);
        ASSERT_TRUE(h != NULL) << Narrow(names[i]) << " error " << GetLastError();
        BYTE sd[1024];
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = NULL;
        PSID owner = NULL;
        EXPECT_TRUE(GetKernelObjectSecurity(h, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sd,
                                            sizeof(sd), &cb)) << GetLastError();
        CloseHandle(h);
        ASSERT_TRUE(GetSecurityDescriptorOwner(sd, &owner, &defaulted) && owner != NULL);
        ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) && present && dacl != NULL)
            << Narrow(names[i]) << ": no DACL or a null one";
        EXPECT_TRUE(EqualSid(owner, ((TOKEN_USER *)user)->User.Sid)) << Narrow(names[i]);
        std::map<std::string, ACCESS_MASK> expected = { { "0:S-1-1-0", needed[i] } };
        EXPECT_EQ(expected, OthersAces(dacl, owner)) << Narrow(names[i]) << ": granted to accounts but the owner";
    }
}

}  // namespace
