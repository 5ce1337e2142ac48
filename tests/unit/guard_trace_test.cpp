/*
 * The guard's trace line limit, bounded object-name formatting, and the
 * version probe with the two decisions taken from it.
 */
#include <gtest/gtest.h>
#include <string>

#include "power_guard.h"
#include "trace_capture.h"

namespace {

class GuardTrace : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetGuardSeams();
        g_nOsVersionKnown = 0;
    }
    void TearDown() override
    {
        StopTraceCapture();
        ResetGuardSeams();
        g_nOsVersionKnown = 0;
    }
};

TEST_F(GuardTrace, LineOf498UnitsIsEmittedWholeAnd499IsDropped)
{
    std::wstring fits(498, L'x');
    std::wstring over(499, L'y');
    fits[0] = L'a';
    fits[497] = L'z';

    StartTraceCapture();
    DebugTrace(L"%s", fits.c_str());
    DebugTrace(L"%s", over.c_str());
    DebugTrace(L"%s%d", std::wstring(496, L'q').c_str(), 42);   /* 498 after formatting */
    DebugTrace(L"%s%d", std::wstring(497, L'q').c_str(), 42);   /* 499 after formatting */
    std::vector<std::wstring> lines = StopTraceCapture();

    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(fits, lines[0]);
    EXPECT_EQ(std::wstring(496, L'q') + L"42", lines[1]);
}

TEST_F(GuardTrace, TraceKeepsTheFormatsOwnTagAndLineEnd)
{
    StartTraceCapture();
    DebugTrace(TAG L"OnPowRegister() :.......\n");
    DebugTrace(TAG L"[%d] hPort = %016Ix, hMutex = %016Ix\n", 3, (ULONG_PTR)0x2A, (ULONG_PTR)0xABCDEF);
    std::vector<std::wstring> lines = StopTraceCapture();

    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L"TAVRIKENOnPowRegister() :.......\n", lines[0]);
    EXPECT_EQ(L"TAVRIKEN[3] hPort = 000000000000002a, hMutex = 0000000000abcdef\n", lines[1]);
}

TEST_F(GuardTrace, FormatObjectNameFitsTruncatesAndRefusesBadSizes)
{
    wchar_t buffer[OBJECT_NAME_BYTES / 2 + 8];

    /* 498 units fill the 998-byte room exactly. */
    std::wstring exact(498, L'e');
    wmemset(buffer, L'#', sizeof(buffer) / sizeof(buffer[0]));
    EXPECT_EQ(0, FormatObjectName(buffer, OBJECT_NAME_BYTES, L"%s", exact.c_str()));
    EXPECT_EQ(exact, std::wstring(buffer));

    /* Longer: the first 498 units, terminated, and the insufficient-buffer status. */
    std::wstring longer(700, L'L');
    longer[497] = L'!';
    wmemset(buffer, L'#', sizeof(buffer) / sizeof(buffer[0]));
    EXPECT_EQ((HRESULT)0x8007007A, FormatObjectName(buffer, OBJECT_NAME_BYTES, L"%s", longer.c_str()));
    EXPECT_EQ(longer.substr(0, 498), std::wstring(buffer));
    EXPECT_EQ(L'\0', buffer[498]);
    EXPECT_EQ(L'#', buffer[499]) << "wrote past the room it was given";

    /* An odd byte count rounds down to whole units. */
    wmemset(buffer, L'#', sizeof(buffer) / sizeof(buffer[0]));
    EXPECT_EQ((HRESULT)0x8007007A, FormatObjectName(buffer, 7, L"%s", L"abcdef"));
    EXPECT_EQ(L"ab", std::wstring(buffer));
    EXPECT_EQ(L'#', buffer[3]);

    /* No room at all, or more than the formatter can count: untouched. */
    const size_t badSizes[] = { 0, 1, (size_t)0x7FFFFFFF * 2 + 2, (size_t)-1 };
    for (size_t bytes : badSizes) {
        wmemset(buffer, L'#', sizeof(buffer) / sizeof(buffer[0]));
        EXPECT_EQ((HRESULT)0x80070057, FormatObjectName(buffer, bytes, L"%s", L"name")) << bytes;
        EXPECT_EQ(L'#', buffer[0]) << bytes;
    }
}

TEST_F(GuardTrace, FormatObjectNameBuildsTheMutexNameOfAPort)
{
    wchar_t buffer[OBJECT_NAME_BYTES / 2];
    EXPECT_EQ(0, FormatObjectName(buffer, sizeof(buffer), POWER_GUARD_MUTEX_NAME_FORMAT,
                                  L"Global\\", TAG POWER_GUARD_MUTEX_INFIX, (ULONG_PTR)0x2A));
    EXPECT_STREQ(L"Global\\TAVRIKEN.HardwareAccess.000000000000002a", buffer);
    EXPECT_EQ(0, FormatObjectName(buffer, sizeof(buffer), POWER_GUARD_MUTEX_NAME_FORMAT,
                                  L"", TAG POWER_GUARD_MUTEX_INFIX, (ULONG_PTR)-1));
    EXPECT_STREQ(L"TAVRIKEN.HardwareAccess.ffffffffffffffff", buffer);
}

TEST_F(GuardTrace, ProbeTriesTheExtendedRecordThenTheBasicOne)
{
    g_guardSeams.versionFailures = 1;
    g_guardSeams.fakeVersion = true;
    g_guardSeams.fakePlatformId = VER_PLATFORM_WIN32_NT;
    g_guardSeams.fakeMajor = 6;

    EXPECT_EQ(1, GetOsVersion());
    ASSERT_EQ(2, g_guardSeams.versionCalls);
    EXPECT_EQ(284u, g_guardSeams.versionSizes[0]);
    EXPECT_EQ(276u, g_guardSeams.versionSizes[1]);

    ResetGuardSeams();
    g_guardSeams.versionFailures = -1;
    EXPECT_EQ(0, GetOsVersion());
    EXPECT_EQ(2, g_guardSeams.versionCalls);
}

TEST_F(GuardTrace, FailedProbeGivesNoPrefixAndIsRetriedAtEveryDecision)
{
    g_guardSeams.versionFailures = 4;   /* both calls of two probes */
    g_guardSeams.fakeVersion = true;
    g_guardSeams.fakePlatformId = VER_PLATFORM_WIN32_NT;
    g_guardSeams.fakeMajor = 6;

    EXPECT_STREQ(L"", GlobalPrefix());
    EXPECT_EQ(2, g_guardSeams.versionCalls);
    EXPECT_FALSE(IsNt6());
    EXPECT_EQ(4, g_guardSeams.versionCalls);

    /* The next decision probes again and now succeeds; later ones use the cache. */
    EXPECT_STREQ(L"Global\\", GlobalPrefix());
    EXPECT_EQ(5, g_guardSeams.versionCalls);
    EXPECT_TRUE(IsNt6());
    EXPECT_STREQ(L"Global\\", GlobalPrefix());
    EXPECT_EQ(5, g_guardSeams.versionCalls);
}

TEST_F(GuardTrace, PrefixAndGenerationFollowPlatformAndMajorVersion)
{
    struct Case {
        DWORD platform, major;
        const wchar_t *prefix;
        BOOL nt6;
    } cases[] = {
        { VER_PLATFORM_WIN32_NT, 4, L"", FALSE },
        { VER_PLATFORM_WIN32_NT, 5, L"Global\\", FALSE },
        { VER_PLATFORM_WIN32_NT, 6, L"Global\\", TRUE },
        { VER_PLATFORM_WIN32_NT, 10, L"Global\\", TRUE },
        { VER_PLATFORM_WIN32_WINDOWS, 6, L"", FALSE },   /* not NT */
    };
    for (const Case &c : cases) {
        ResetGuardSeams();
        g_nOsVersionKnown = 0;
        g_guardSeams.fakeVersion = true;
        g_guardSeams.fakePlatformId = c.platform;
        g_guardSeams.fakeMajor = c.major;
        EXPECT_STREQ(c.prefix, GlobalPrefix()) << "platform " << c.platform << " major " << c.major;
        EXPECT_EQ(c.nt6, IsNt6()) << "platform " << c.platform << " major " << c.major;
        EXPECT_EQ(1, g_guardSeams.versionCalls);
    }
}

TEST_F(GuardTrace, SecurityFailuresAreTracedAndGiveDefaultSecurity)
{
    SECURITY_DESCRIPTOR sd;
    SECURITY_ATTRIBUTES sa;
    const wchar_t *init = TAG L"X() : InitializeSecurityDescriptor() failed. GetLastError() = %d\n";
    const wchar_t *dacl = TAG L"X() : SetSecurityDescriptorDacl() failed. GetLastError() = %d\n";
    const wchar_t *ok = TAG L"X() : SecurityDescriptor : SUCCESS\n";

    StartTraceCapture();
    g_guardSeams.initSecurityError = 1337;
    EXPECT_EQ(nullptr, PrepareOpenSecurity(&sd, &sa, init, dacl, ok));
    g_guardSeams.initSecurityError = 0;
    g_guardSeams.setDaclError = 87;
    EXPECT_EQ(nullptr, PrepareOpenSecurity(&sd, &sa, init, dacl, ok));
    g_guardSeams.setDaclError = 0;
    memset(&sa, 0xEE, sizeof(sa));
    EXPECT_EQ(&sa, PrepareOpenSecurity(&sd, &sa, init, dacl, ok));
    std::vector<std::wstring> lines = StopTraceCapture();

    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(L"TAVRIKENX() : InitializeSecurityDescriptor() failed. GetLastError() = 1337\n", lines[0]);
    EXPECT_EQ(L"TAVRIKENX() : SetSecurityDescriptorDacl() failed. GetLastError() = 87\n", lines[1]);
    EXPECT_EQ(L"TAVRIKENX() : SecurityDescriptor : SUCCESS\n", lines[2]);

    EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), sa.nLength);
    EXPECT_EQ(&sd, sa.lpSecurityDescriptor);
    EXPECT_FALSE(sa.bInheritHandle);
    BOOL present = FALSE, defaulted = TRUE;
    PACL acl = (PACL)0xdeadbeef;
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &acl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(nullptr, acl) << "the DACL must be null so that any account may open the object";
    EXPECT_FALSE(defaulted);
}

}  // namespace
