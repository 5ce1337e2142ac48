/*
 * The port client's register and unregister messages, handled directly: the
 * traces, the named mutexes they create or close, the table they leave, and
 * what happens to a mutex the guard holds when its port goes or comes again.
 */
#include "guard_handler_fixture.h"

namespace handlers {
namespace {

class Registration : public HandlerTest {};

TEST_F(Registration, TracesEachStepAndCreatesTheMutexNotOwned)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 0x2A }));
    ASSERT_EQ(1, g_portTable.count);
    ASSERT_EQ((ULONG_PTR)0x2A, g_portTable.head->hPort);

    std::vector<std::wstring> expected = {
        L"OnPowRegister() :.......\n",
        L"OnPowRegister() : SecurityDescriptor : SUCCESS\n",
        L"OnPowRegister() : CreateMutex(Global\\" TAG L".HardwareAccess.000000000000002a) SUCCESS\n",
    };
    Append(&expected, DumpLines(L"OnPowRegister()"));
    std::vector<std::wstring> lines = Lines();
    EXPECT_EQ(expected, lines) << Show(lines);

    EXPECT_TRUE(NamedMutexExists(MutexName(0x2A)));
    EXPECT_TRUE(IsFree(0x2A)) << "created owned by the registering thread";
}

TEST_F(Registration, PortsOneTwoThreeGetMutexesNamedAfterThem)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 1, 2, 3 }));
    std::vector<std::wstring> lines = Lines();

    for (ULONG_PTR port : { 1, 2, 3 }) {
        std::wstring name = L"Global\\" TAG L".HardwareAccess.000000000000000" + std::to_wstring(port);
        EXPECT_EQ(name, MutexName(port));
        std::wstring line = L"OnPowRegister() : CreateMutex(" + name + L") SUCCESS\n";
        EXPECT_EQ(1, std::count(lines.begin(), lines.end(), line)) << Show(lines);
        EXPECT_TRUE(NamedMutexExists(name)) << port;
    }
    EXPECT_EQ(L"OnPowRegister() : Dump() : 3 Item(s)\n", lines[lines.size() - 4]);
    EXPECT_EQ(DumpLines(L"OnPowRegister()"), std::vector<std::wstring>(lines.end() - 4, lines.end()));

    /* Three objects, not one: holding port 2 leaves 1 and 3 free. */
    MutexHolder *holder = HoldOnOtherThread(MutexName(2), kFreeProbeMs);
    ASSERT_NE(nullptr, holder);
    EXPECT_TRUE(IsFree(1));
    EXPECT_TRUE(IsFree(3));
    EXPECT_TRUE(IsHeld(2));
    ReleaseHolder(holder);

    HANDLE handles[3];
    ULONG_PTR hPort;
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(0, GetPortAt(i, &hPort, &handles[i]));
    EXPECT_NE(handles[0], handles[1]);
    EXPECT_NE(handles[1], handles[2]);
}

TEST_F(Registration, RegisteringAgainReplacesTheEntryAndClosesTheFirstHandle)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 5 }));
    HANDLE mine = Open(5);
    ASSERT_NE((HANDLE)NULL, mine);
    long before = ObjectHandleCount(mine);
    ASSERT_EQ(2, before) << "the test's handle and the guard's";
    Lines();

    ASSERT_NO_FATAL_FAILURE(Register({ 5 }));
    std::vector<std::wstring> expected = {
        L"OnPowRegister() :.......\n",
        L"OnPowRegister() : The port is already registred\n",
        L"OnPowRegister() : SecurityDescriptor : SUCCESS\n",
        L"OnPowRegister() : CreateMutex(" + MutexName(5) + L") SUCCESS\n",
        L"OnPowRegister() : Dump() : 1 Item(s)\n",
    };
    std::vector<std::wstring> dump = DumpLines(L"OnPowRegister()");
    Append(&expected, std::vector<std::wstring>(dump.begin() + 1, dump.end()));
    std::vector<std::wstring> lines = Lines();
    EXPECT_EQ(expected, lines) << Show(lines);
    EXPECT_EQ(1, g_portTable.count);
    EXPECT_EQ(2, ObjectHandleCount(mine)) << "the first handle must be closed, not kept beside the new one";
}

TEST_F(Registration, UnregisteringAnUnknownPortChangesNothing)
{
    OnPowUnregister(9);
    std::vector<std::wstring> lines = Lines();
    EXPECT_EQ((std::vector<std::wstring>{
                  L"OnPowUnregister ....Entering() :.......\n",
                  L"OnPowUnregister() : Dump() : 0 Item(s)\n",
                  L"OnPowUnregister ....Exiting() :.......\n" }),
              lines) << Show(lines);

    ASSERT_NO_FATAL_FAILURE(Register({ 1, 2 }));
    PortEntry *first = g_portTable.head, *second = first->next;
    HANDLE h1 = second->hMutex, h2 = first->hMutex;
    Lines();

    OnPowUnregister(9);
    std::vector<std::wstring> expected = { L"OnPowUnregister ....Entering() :.......\n" };
    Append(&expected, DumpLines(L"OnPowUnregister()"));
    expected.push_back(L"OnPowUnregister ....Exiting() :.......\n");
    lines = Lines();
    EXPECT_EQ(expected, lines) << Show(lines);

    ASSERT_EQ(2, g_portTable.count);
    EXPECT_EQ(first, g_portTable.head);
    EXPECT_EQ(second, g_portTable.head->next);
    EXPECT_EQ(h2, first->hMutex);
    EXPECT_EQ(h1, second->hMutex);
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(h1, &flags));
    EXPECT_TRUE(GetHandleInformation(h2, &flags));
    EXPECT_TRUE(NamedMutexExists(MutexName(1)));
    EXPECT_TRUE(NamedMutexExists(MutexName(2)));
}

TEST_F(Registration, UnregisteringClosesTheHandleAndForgetsThePort)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 3, 4 }));
    Lines();

    OnPowUnregister(3);
    std::vector<std::wstring> expected = {
        L"OnPowUnregister ....Entering() :.......\n",
        L"OnPowUnregister ....ListLookUp() :.......\n",
    };
    Append(&expected, DumpLines(L"OnPowUnregister()"));
    expected.push_back(L"OnPowUnregister ....Exiting() :.......\n");
    std::vector<std::wstring> lines = Lines();
    EXPECT_EQ(expected, lines) << Show(lines);

    ASSERT_EQ(1, g_portTable.count);
    EXPECT_EQ((ULONG_PTR)4, g_portTable.head->hPort);
    DWORD error = 0;
    EXPECT_FALSE(NamedMutexExists(MutexName(3), &error)) << "the guard's handle was the only one";
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, error);
    EXPECT_TRUE(NamedMutexExists(MutexName(4)));
}

TEST_F(Registration, FailedCreationIsTracedAndLeavesThePortUnregistered)
{
    /* An event of the mutex's name makes CreateMutexW fail. */
    HANDLE squatter = CreateEventW(NULL, TRUE, FALSE, MutexName(0x77).c_str());
    ASSERT_NE((HANDLE)NULL, squatter);

    ASSERT_NO_FATAL_FAILURE(Register({ 0x77 }));
    std::vector<std::wstring> lines = Lines();
    EXPECT_EQ((std::vector<std::wstring>{
                  L"OnPowRegister() :.......\n",
                  L"OnPowRegister() : SecurityDescriptor : SUCCESS\n",
                  L"OnPowRegister() : CreateMutex(" + MutexName(0x77) + L") failed. GetLastError() = " +
                      std::to_wstring(ERROR_INVALID_HANDLE) + L"\n",
                  L"OnPowRegister() : Dump() : 0 Item(s)\n" }),
              lines) << Show(lines);
    EXPECT_EQ(0, g_portTable.count);

    OnPowUnregister(0x77);
    lines = Lines();
    EXPECT_EQ(3u, lines.size()) << Show(lines);
    EXPECT_EQ(0, g_portTable.count);
    CloseHandle(squatter);
}

TEST_F(Registration, MutexHasANullDacl)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 0x60 }));
    HANDLE mine = Open(0x60);
    ASSERT_NE((HANDLE)NULL, mine);
    std::string why;
    EXPECT_TRUE(HasNullDacl(mine, &why)) << why;
}

TEST_F(Registration, SecurityFailuresAreTracedAndTheMutexGetsDefaultSecurity)
{
    struct Case { DWORD initError, daclError; std::wstring line; ULONG_PTR port; };
    std::vector<Case> cases = {
        { 1234, 0, L"OnPowRegister() : InitializeSecurityDescriptor() failed. GetLastError() = 1234\n", 0x61 },
        { 0, 87, L"OnPowRegister() : SetSecurityDescriptorDacl() failed. GetLastError() = 87\n", 0x62 },
    };
    for (const Case &c : cases) {
        g_guardSeams.initSecurityError = c.initError;
        g_guardSeams.setDaclError = c.daclError;
        ASSERT_NO_FATAL_FAILURE(Register({ c.port }));
        std::vector<std::wstring> lines = Lines();
        ASSERT_EQ(3u + 1 + (size_t)g_portTable.count, lines.size()) << Show(lines);
        EXPECT_EQ(L"OnPowRegister() :.......\n", lines[0]);
        EXPECT_EQ(c.line, lines[1]);
        EXPECT_EQ(L"OnPowRegister() : CreateMutex(" + MutexName(c.port) + L") SUCCESS\n", lines[2]);
        ASSERT_NE(nullptr, FindPort(c.port)) << "the port is still registered";

        HANDLE mine = Open(c.port);
        ASSERT_NE((HANDLE)NULL, mine);
        std::string why;
        EXPECT_FALSE(HasNullDacl(mine, &why)) << "default security expected, found " << why;
    }
}

TEST_F(Registration, NoMemoryForTheEntryLeavesThePortUnrecordedAndTheHandleOpen)
{
    g_guardSeams.mallocFailFrom = g_guardSeams.mallocCalls + 1;
    ASSERT_NO_FATAL_FAILURE(Register({ 0x70 }));
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(4u, lines.size()) << Show(lines);
    EXPECT_EQ(L"OnPowRegister() : CreateMutex(" + MutexName(0x70) + L") SUCCESS\n", lines[2]);
    EXPECT_EQ(L"OnPowRegister() : Dump() : 0 Item(s)\n", lines[3]);
    EXPECT_EQ(0, g_portTable.count);
    EXPECT_TRUE(NamedMutexExists(MutexName(0x70))) << "the handle stays open until the program ends";
    g_guardSeams.mallocFailFrom = 0;
}

/* The guard holds the mutexes between a suspend wait and a release event. */
class RegistrationWhileHeld : public HandlerTest {};

TEST_F(RegistrationWhileHeld, UnregisteringReleasesEveryOwnershipBeforeClosing)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 0x31, 0x32 }));
    ASSERT_NE((HANDLE)NULL, Open(0x31));   /* keeps the object alive after the guard's close */
    /* Two suspends without a release event between: owned twice. */
    ASSERT_EQ(TRUE, OnPowerBroadcast(NULL, PBT_APMSUSPEND, 0));
    ASSERT_EQ(TRUE, OnPowerBroadcast(NULL, PBT_APMSUSPEND, 0));
    ASSERT_TRUE(IsHeld(0x31));
    ASSERT_TRUE(IsHeld(0x32));
    Lines();

    OnPowUnregister(0x31);
    std::vector<std::wstring> expected = {
        L"OnPowUnregister ....Entering() :.......\n",
        L"OnPowUnregister ....ListLookUp() :.......\n",
    };
    Append(&expected, DumpLines(L"OnPowUnregister()"));
    expected.push_back(L"OnPowUnregister ....Exiting() :.......\n");
    std::vector<std::wstring> lines = Lines();
    EXPECT_EQ(expected, lines) << Show(lines);

    EXPECT_TRUE(IsFree(0x31)) << "the port client must not stay locked out of an unregistered port";
    EXPECT_TRUE(IsHeld(0x32)) << "the other port stays held until the release event";
}

TEST_F(RegistrationWhileHeld, RegisteringAgainKeepsTheMutexHeldUntilTheReleaseEvent)
{
    ASSERT_NO_FATAL_FAILURE(Register({ 0x41 }));
    ASSERT_NE((HANDLE)NULL, Open(0x41));
    ASSERT_EQ(TRUE, OnPowerBroadcast(NULL, PBT_APMSUSPEND, 0));
    ASSERT_TRUE(IsHeld(0x41));
    Lines();

    ASSERT_NO_FATAL_FAILURE(Register({ 0x41 }));
    std::vector<std::wstring> lines = Lines();
    ASSERT_LE(2u, lines.size());
    EXPECT_EQ(L"OnPowRegister() : The port is already registred\n", lines[1]);
    EXPECT_TRUE(IsHeld(0x41)) << "registering again must not release";

    ASSERT_EQ(TRUE, OnPowerBroadcast(NULL, PBT_APMRESUMEAUTOMATIC, 0));
    lines = Lines();
    EXPECT_EQ(L"OnPowerBroadcast() : Release Mutex SUCCEEDED\n", lines.back()) << Show(lines);
    EXPECT_TRUE(IsFree(0x41)) << "the new handle names the same owned mutex";
}

}  // namespace
}  // namespace handlers
