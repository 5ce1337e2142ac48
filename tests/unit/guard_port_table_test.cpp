/*
 * The port table: newest first, lookups by value (0 included), removal at
 * every position, the not-found answers, and the dump lines.
 */
#include <gtest/gtest.h>
#include <vector>

#include "power_guard.h"
#include "trace_capture.h"

namespace {

const HRESULT kNotFound = (HRESULT)0x80070490;

/* The values along the links, head first; fails the test on a count mismatch. */
std::vector<ULONG_PTR> Linked(void)
{
    std::vector<ULONG_PTR> values;
    for (PortEntry *e = g_portTable.head; e && values.size() < 1000; e = e->next)
        values.push_back(e->hPort);
    EXPECT_EQ((size_t)g_portTable.count, values.size()) << "count does not match the links";
    return values;
}

HANDLE H(ULONG_PTR v) { return (HANDLE)(0x1000 + v); }

class PortTableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetGuardSeams();
        ResetPortTable();
    }
    void TearDown() override
    {
        StopTraceCapture();
        FreePortTable();
        ResetGuardSeams();
    }
    void Add(std::initializer_list<ULONG_PTR> values)
    {
        for (ULONG_PTR v : values)
            AddPort(v, H(v));
    }
};

TEST_F(PortTableTest, NewestEntryComesFirst)
{
    Add({ 0xA, 0xB, 0xC });
    EXPECT_EQ((std::vector<ULONG_PTR>{ 0xC, 0xB, 0xA }), Linked());

    ULONG_PTR hPort = 0;
    HANDLE hMutex = NULL;
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(0, GetPortAt(i, &hPort, &hMutex)) << i;
        EXPECT_EQ((ULONG_PTR)(0xC - i), hPort) << i;
        EXPECT_EQ(H(0xC - i), hMutex) << i;
    }
    ASSERT_EQ(0, GetPortAt(-5, &hPort, &hMutex));
    EXPECT_EQ(0xCu, hPort) << "a negative position gives the head";
    ASSERT_NE(nullptr, FindPort(0xB));
    EXPECT_EQ(H(0xB), FindPort(0xB)->hMutex);
    EXPECT_EQ(nullptr, FindPort(0xD));
}

TEST_F(PortTableTest, PositionsOutsideTheTableAreNotFoundAndWriteNothing)
{
    ULONG_PTR hPort = 0xdeadbeef;
    HANDLE hMutex = (HANDLE)0xdeadbeef;
    EXPECT_EQ(kNotFound, GetPortAt(0, &hPort, &hMutex)) << "empty table";
    Add({ 1, 2 });
    EXPECT_EQ(kNotFound, GetPortAt(2, &hPort, &hMutex)) << "position equal to the count";
    EXPECT_EQ(kNotFound, GetPortAt(100, &hPort, &hMutex));
    EXPECT_EQ(0xdeadbeefu, hPort);
    EXPECT_EQ((HANDLE)0xdeadbeef, hMutex);
}

TEST_F(PortTableTest, RemovingAnUnknownValueChangesNothing)
{
    EXPECT_EQ(kNotFound, RemovePort(7)) << "empty table";
    EXPECT_EQ(0, g_portTable.count);
    EXPECT_EQ(nullptr, g_portTable.head);

    Add({ 1 });
    EXPECT_EQ(kNotFound, RemovePort(7)) << "one entry";
    EXPECT_EQ((std::vector<ULONG_PTR>{ 1 }), Linked());

    Add({ 2, 3 });
    EXPECT_EQ(kNotFound, RemovePort(7)) << "several entries";
    EXPECT_EQ((std::vector<ULONG_PTR>{ 3, 2, 1 }), Linked());
}

TEST_F(PortTableTest, RemovingHeadMiddleAndLastKeepsTheLinks)
{
    Add({ 1, 2, 3, 4, 5 });   /* 5 4 3 2 1 */
    EXPECT_EQ(0, RemovePort(5));
    EXPECT_EQ((std::vector<ULONG_PTR>{ 4, 3, 2, 1 }), Linked());
    EXPECT_EQ(0, RemovePort(3));
    EXPECT_EQ((std::vector<ULONG_PTR>{ 4, 2, 1 }), Linked());
    EXPECT_EQ(0, RemovePort(1));
    EXPECT_EQ((std::vector<ULONG_PTR>{ 4, 2 }), Linked());
    EXPECT_EQ(kNotFound, RemovePort(1)) << "already removed";
    EXPECT_EQ(0, RemovePort(4));
    EXPECT_EQ(0, RemovePort(2));
    EXPECT_EQ(std::vector<ULONG_PTR>{}, Linked());
    EXPECT_EQ(nullptr, g_portTable.head);

    /* The table works again after being emptied. */
    Add({ 9 });
    EXPECT_EQ((std::vector<ULONG_PTR>{ 9 }), Linked());
}

TEST_F(PortTableTest, PortValueZeroIsAnOrdinaryKey)
{
    Add({ 5, 0, 7 });   /* 7 0 5 */
    ASSERT_NE(nullptr, FindPort(0));
    EXPECT_EQ(H(0), FindPort(0)->hMutex);
    EXPECT_EQ(0, RemovePort(5)) << "the entry after the one with value 0";
    EXPECT_EQ((std::vector<ULONG_PTR>{ 7, 0 }), Linked());
    EXPECT_EQ(0, RemovePort(0));
    EXPECT_EQ((std::vector<ULONG_PTR>{ 7 }), Linked());
    EXPECT_EQ(nullptr, FindPort(0));

    Add({ 0 });
    EXPECT_EQ(0, RemovePort(0)) << "value 0 at the head";
    EXPECT_EQ((std::vector<ULONG_PTR>{ 7 }), Linked());
}

TEST_F(PortTableTest, NoMemoryLeavesTheTableUnchanged)
{
    Add({ 1 });
    g_guardSeams.mallocFailFrom = g_guardSeams.mallocCalls + 1;
    AddPort(2, H(2));
    EXPECT_EQ((std::vector<ULONG_PTR>{ 1 }), Linked());
}

TEST_F(PortTableTest, DumpListsTheCountThenEveryEntryNewestFirst)
{
    StartTraceCapture();
    Dump(L"OnPowRegister()");
    Add({ 0x2A, (ULONG_PTR)-1 });
    Dump(L"OnPowUnregister()");
    std::vector<std::wstring> lines = StopTraceCapture();

    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(L"TAVRIKENOnPowRegister() : Dump() : 0 Item(s)\n", lines[0]);
    EXPECT_EQ(L"TAVRIKENOnPowUnregister() : Dump() : 2 Item(s)\n", lines[1]);
    EXPECT_EQ(L"TAVRIKEN[0] hPort = ffffffffffffffff, hMutex = 0000000000000fff\n", lines[2]);
    EXPECT_EQ(L"TAVRIKEN[1] hPort = 000000000000002a, hMutex = 000000000000102a\n", lines[3]);
}

}  // namespace
