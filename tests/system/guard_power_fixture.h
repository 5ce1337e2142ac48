/*
 * What the system tests of registration and power events share: the real
 * guard under the debugger loop, port-client processes (the stand-in tool),
 * the guard's trace since a mark, the expected dump lines, and probes of the
 * mutexes from threads of the test.
 */
#ifndef GUARD_POWER_FIXTURE_H
#define GUARD_POWER_FIXTURE_H

#include <gtest/gtest.h>
#include <windows.h>
#include <regex>
#include <string>
#include <vector>

#include "console_child.h"
#include "guard_harness.h"
#include "mutex_probe.h"
#include "port_client.h"
#include "test_paths.h"

namespace power {

const DWORD kHeldProbeMs = 300;
const DWORD kFreeProbeMs = 5000;
const DWORD kClientMs = 60000;   /* the longest a client run may take */
/* How long the guard must wait for a busy port before it answers. */
const double kSuspendWaitMs = 1900;         /* NT6, at the suspend */
const double kQuerySuspendWaitMs = 17500;   /* older generation, at the suspend query */

inline std::string Show(const std::vector<std::wstring> &lines)
{
    std::string out;
    for (const std::wstring &l : lines)
        for (wchar_t c : l)
            out += c == L'\n' ? std::string("\\n\n") : std::string(1, (char)(c < 128 ? c : '?'));
    return out;
}

/* One dump: the count line, then one line per port in table order, newest first. */
inline void ExpectDump(const std::vector<std::wstring> &lines, size_t at, const std::wstring &caller,
                       const std::vector<ULONG_PTR> &ports)
{
    ASSERT_LE(at + 1 + ports.size(), lines.size()) << Show(lines);
    EXPECT_EQ(caller + L" : Dump() : " + std::to_wstring(ports.size()) + L" Item(s)\n", lines[at]);
    for (size_t i = 0; i < ports.size(); i++) {
        wchar_t hex[32];
        swprintf(hex, 32, L"%016llx", (unsigned long long)ports[i]);
        std::wregex entry(L"\\[" + std::to_wstring(i) + L"\\] hPort = " + hex + L", hMutex = [0-9a-f]{16}\n");
        EXPECT_TRUE(std::regex_match(lines[at + 1 + i], entry)) << "dump entry " << i << ":\n" << Show(lines);
    }
}

class GuardPowerTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (ConsoleChild *c : clients_)
            CloseConsoleChild(c);
        for (HANDLE h : handles_)
            CloseHandle(h);
        DisposeGuard(&guard_);
    }

    void Start(const GuardOptions &options = GuardOptions(), const std::wstring &tag = L"TAVRIKEN")
    {
        std::wstring error;
        bool skip = false;
        bool ok = StartGuard(&guard_, tag, options, &error, &skip);
        if (skip)
            GTEST_SKIP() << Narrow(error);
        ASSERT_TRUE(ok) << Narrow(error);
        ASSERT_TRUE(WaitForChildLineCount(guard_.child, 3, 10000)) << "no start-up trace";
    }

    std::wstring ClientCommand(const std::wstring &args)
    {
        return Quote(ToolPath(L"port_client.exe")) + L" --tag " + guard_.tag + L" " + args;
    }

    /* Runs the port client to its end; its exit code, or -1 when it could not
       be run or did not end in time. */
    int Client(const std::wstring &args, std::string *output = nullptr)
    {
        std::string ignored;
        DWORD code = 0;
        if (output)
            output->clear();
        if (!RunProcess(ClientCommand(args), kClientMs, &code, output ? output : &ignored))
            return -1;
        return (int)code;
    }

    /* A port client left running; waits until it has printed expect. */
    ConsoleChild *StartClient(const std::wstring &args, const std::string &expect)
    {
        std::wstring error;
        ConsoleChild *c = StartConsoleChild(ClientCommand(args), &error);
        EXPECT_NE(nullptr, c) << Narrow(error);
        if (!c)
            return nullptr;
        clients_.push_back(c);
        EXPECT_TRUE(WaitForConsoleOutput(c, expect, 20000)) << "client said: " << ConsoleOutput(c);
        return c;
    }

    /* A manual-reset event that ends a client's hold. */
    HANDLE ReleaseEvent(std::wstring *name)
    {
        *name = L"guard-power-release-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(handles_.size());
        HANDLE h = CreateEventW(NULL, TRUE, FALSE, name->c_str());
        EXPECT_NE((HANDLE)NULL, h);
        if (h)
            handles_.push_back(h);
        return h;
    }

    /* The guard's lines (tag stripped) from a mark on. */
    size_t Mark() { return ChildLineCount(guard_.child); }
    std::vector<std::wstring> LinesSince(size_t mark)
    {
        std::vector<std::wstring> all = GuardLines(&guard_);
        return std::vector<std::wstring>(all.begin() + (mark < all.size() ? mark : all.size()), all.end());
    }

    LRESULT Send(UINT message, WPARAM wParam, DWORD timeoutMs = kClientMs)
    {
        bool delivered = false;
        LRESULT r = SendToGuard(&guard_, message, wParam, 0, timeoutMs, &delivered);
        EXPECT_TRUE(delivered) << "message " << message << " not answered";
        return r;
    }
    /* The handler's answer; *lines gets what it traced (the debugger loop has
       every line before the guard goes on, so all are there on return), and
       *elapsedMs how long the guard took to answer. */
    LRESULT Broadcast(WPARAM event, std::vector<std::wstring> *lines = nullptr, double *elapsedMs = nullptr)
    {
        size_t mark = Mark();
        LARGE_INTEGER start = TimeNow();
        LRESULT r = Send(WM_POWERBROADCAST, event);
        if (elapsedMs)
            *elapsedMs = MillisecondsSince(start);
        if (lines)
            *lines = LinesSince(mark);
        return r;
    }

    std::wstring Name(ULONG_PTR port, const std::wstring &prefix = L"Global\\")
    {
        return PortMutexName(prefix, guard_.tag, port);
    }
    bool IsHeld(ULONG_PTR port)
    {
        DWORD r = WaitFromOtherThread(Name(port), kHeldProbeMs);
        EXPECT_TRUE(r == WAIT_TIMEOUT || r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) << "probe of " << port << ": " << r;
        return r == WAIT_TIMEOUT;
    }
    bool IsFree(ULONG_PTR port)
    {
        DWORD r = WaitFromOtherThread(Name(port), kFreeProbeMs);
        EXPECT_TRUE(r == WAIT_TIMEOUT || r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) << "probe of " << port << ": " << r;
        return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    /* A handle of the test's own, as a port client keeps one. */
    HANDLE Open(ULONG_PTR port)
    {
        HANDLE h = OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, Name(port).c_str());
        EXPECT_NE((HANDLE)NULL, h) << "error " << GetLastError();
        if (h)
            handles_.push_back(h);
        return h;
    }

    GuardProcess guard_;
    std::vector<ConsoleChild *> clients_;
    std::vector<HANDLE> handles_;
};

}  // namespace power

#endif /* GUARD_POWER_FIXTURE_H */
