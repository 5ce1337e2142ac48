/*
 * The exploit mitigations at work, not only marked in the headers: a program
 * built like the deliverables that overruns a local buffer ends at once with
 * the stack cookie's fail-fast (0xC0000409) before any handler of its own
 * runs; and a loaded co-installer's cookie, the default value in its file, is
 * no longer the default once the loader has mapped it.
 */
#include <gtest/gtest.h>
#include <windows.h>
#include <string>

#include "child_process.h"
#include "test_paths.h"

namespace {

const ULONGLONG kDefaultCookie = 0x00002B992DDFA232ull;

TEST(Hardening, StackOverrunEndsTheProcessWithTheCookieFailFast)
{
    const struct {
        const wchar_t *argument;
        DWORD exitCode;
        const char *output;
    } cases[] = {
        { L"fits", 0, "returned\n" },
        { L"overruns-the-eight-character-buffer-and-its-cookie", STATUS_STACK_BUFFER_OVERRUN, "" },
    };
    for (const auto &c : cases) {
        std::wstring command = Quote(BuildDir() + L"\\tests\\system\\stack_overrun_child.exe") + L" " + c.argument;
        DWORD code = 0;
        std::string output;
        ASSERT_TRUE(RunProcess(command, 30000, &code, &output)) << "could not run " << Narrow(command);
        EXPECT_EQ(c.exitCode, code) << Narrow(c.argument) << ": exit code 0x" << std::hex << code;
        EXPECT_EQ(c.output, output) << Narrow(c.argument);
    }
}

TEST(Hardening, LoadedCoinstallerCookieIsNoLongerTheDefault)
{
    for (const wchar_t *name : { L"HELDRAVO.dll", L"JUNTEPAS.dll", L"WIRZOLAK.dll" }) {
        HMODULE module = LoadLibraryW(DistPath(name).c_str());
        ASSERT_NE(nullptr, module) << Narrow(name) << ": LoadLibraryW error " << GetLastError();
        BYTE *base = (BYTE *)module;
        auto *nt = (IMAGE_NT_HEADERS64 *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY &directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
        EXPECT_GE(directory.Size, 0x140u) << Narrow(name) << ": load config size";
        if (directory.Size >= sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64)) {
            auto *config = (IMAGE_LOAD_CONFIG_DIRECTORY64 *)(base + directory.VirtualAddress);
            ULONGLONG at = config->SecurityCookie;
            ASSERT_TRUE(at >= (ULONGLONG)base && at + 8 <= (ULONGLONG)base + nt->OptionalHeader.SizeOfImage)
                << Narrow(name) << ": SecurityCookie 0x" << std::hex << at << " is outside the image";
            ULONGLONG cookie = *(const ULONGLONG *)at;
            EXPECT_NE(kDefaultCookie, cookie) << Narrow(name) << ": the loader left the default cookie";
            EXPECT_NE(0u, cookie) << Narrow(name);
        }
        EXPECT_TRUE(FreeLibrary(module)) << Narrow(name) << ": FreeLibrary error " << GetLastError();
    }
}

}  // namespace
