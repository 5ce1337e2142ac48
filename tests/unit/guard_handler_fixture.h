/*
 * What the tests of the port and power handlers share: a clean table, trace
 * and version cache for every case, registration through the real handler,
 * the expected texts of the dump and of the mutex names, and probes that look
 * at a mutex from a thread other than the one the handlers run on.
 */
#ifndef GUARD_HANDLER_FIXTURE_H
#define GUARD_HANDLER_FIXTURE_H

#include <gtest/gtest.h>
#include <algorithm>
#include <stdio.h>
#include <string>
#include <vector>

#include "mutex_probe.h"
#include "power_guard.h"
#include "trace_capture.h"

namespace handlers {

/* A probe that expects a held mutex waits this long; one that expects a
   free mutex gets much longer, and returns as soon as it has it. */
const DWORD kHeldProbeMs = 150;
const DWORD kFreeProbeMs = 3000;

inline std::wstring Hex16(ULONG_PTR value)
{
    wchar_t text[32];
    swprintf(text, 32, L"%016llx", (unsigned long long)value);
    return text;
}

inline std::wstring MutexName(ULONG_PTR hPort, const std::wstring &prefix = L"Global\\")
{
    return prefix + TAG + L".HardwareAccess." + Hex16(hPort);
}

/* The lines of Dump(name) for the table as it stands now. */
inline std::vector<std::wstring> DumpLines(const std::wstring &name)
{
    std::vector<std::wstring> lines;
    lines.push_back(name + L" : Dump() : " + std::to_wstring(g_portTable.count) + L" Item(s)\n");
    int i = 0;
    for (PortEntry *e = g_portTable.head; e; e = e->next, i++)
        lines.push_back(L"[" + std::to_wstring(i) + L"] hPort = " + Hex16(e->hPort) +
                        L", hMutex = " + Hex16((ULONG_PTR)e->hMutex) + L"\n");
    return lines;
}

inline void Append(std::vector<std::wstring> *to, const std::vector<std::wstring> &more)
{
    to->insert(to->end(), more.begin(), more.end());
}

inline std::string Show(const std::vector<std::wstring> &lines)
{
    std::string out;
    for (const std::wstring &l : lines)
        for (wchar_t c : l)
            out += c == L'\n' ? std::string("\\n\n") : std::string(1, (char)(c < 128 ? c : '?'));
    return out;
}

class HandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetGuardSeams();
        ResetPortTable();
        g_nOsVersionKnown = 0;
        UseVersion(VER_PLATFORM_WIN32_NT, 6, 1);
        StartTraceCapture();
    }
    void TearDown() override
    {
        StopTraceCapture();
        for (PortEntry *e = g_portTable.head; e; e = e->next) {
            while (ReleaseMutex(e->hMutex))
                ;
            CloseHandle(e->hMutex);
        }
        FreePortTable();
        for (HANDLE h : opened_)
            CloseHandle(h);
        ResetGuardSeams();
        g_nOsVersionKnown = 0;
    }

    /* What GetVersionExW reports to the handlers from now on. */
    void UseVersion(DWORD platform, DWORD major, DWORD minor)
    {
        g_guardSeams.fakeVersion = true;
        g_guardSeams.fakePlatformId = platform;
        g_guardSeams.fakeMajor = major;
        g_guardSeams.fakeMinor = minor;
        g_nOsVersionKnown = 0;
    }
    void UseOlderGeneration() { UseVersion(VER_PLATFORM_WIN32_NT, 5, 2); }

    void Register(std::initializer_list<ULONG_PTR> ports)
    {
        for (ULONG_PTR p : ports)
            ASSERT_EQ(1, OnPowRegister(NULL, (WPARAM)p, 0)) << p;
    }

    /* The lines traced since the last call, without the tag; a line that does
       not begin with the tag is kept whole, marked with "!". */
    std::vector<std::wstring> Lines()
    {
        std::vector<std::wstring> out;
        std::wstring tag = TAG;
        for (const std::wstring &l : CapturedLines())
            out.push_back(l.compare(0, tag.size(), tag) == 0 ? l.substr(tag.size()) : L"!" + l);
        StartTraceCapture();
        return out;
    }

    /* A handle of the test's own, so the object outlives the guard's handle. */
    HANDLE Open(ULONG_PTR hPort)
    {
        HANDLE h = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL, FALSE, MutexName(hPort).c_str());
        EXPECT_NE((HANDLE)NULL, h) << "cannot open the mutex of port " << hPort << ", error " << GetLastError();
        if (h)
            opened_.push_back(h);
        return h;
    }

    bool IsHeld(ULONG_PTR hPort)
    {
        DWORD r = WaitFromOtherThread(MutexName(hPort), kHeldProbeMs);
        EXPECT_TRUE(r == WAIT_TIMEOUT || r == WAIT_OBJECT_0 || r == WAIT_ABANDONED)
            << "probe of port " << hPort << " gave " << r;
        return r == WAIT_TIMEOUT;
    }
    bool IsFree(ULONG_PTR hPort)
    {
        DWORD r = WaitFromOtherThread(MutexName(hPort), kFreeProbeMs);
        EXPECT_TRUE(r == WAIT_TIMEOUT || r == WAIT_OBJECT_0 || r == WAIT_ABANDONED)
            << "probe of port " << hPort << " gave " << r;
        return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }

    std::vector<HANDLE> opened_;
};

}  // namespace handlers

#endif /* GUARD_HANDLER_FIXTURE_H */
