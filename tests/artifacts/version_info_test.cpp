/*
 * The version resource of every deliverable, read the way the shell reads a
 * file's properties: the fixed numbers, the language and code page, and the
 * strings under that translation.
 */
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_paths.h"

namespace {

struct Deliverable {
    const wchar_t *tag;
    const wchar_t *extension;
    DWORD fileType;
    const wchar_t *descriptionWord;   /* what the description must speak of */
};

void PrintTo(const Deliverable &d, std::ostream *os)
{
    *os << Narrow(std::wstring(d.tag) + d.extension);
}

const Deliverable kDeliverables[] = {
    { L"TAVRIKEN", L".exe", VFT_APP, L"power guard" },
    { L"SOLMEDAR", L".exe", VFT_APP, L"power guard" },
    { L"BRAXUNET", L".exe", VFT_APP, L"power guard" },
    { L"HELDRAVO", L".dll", VFT_DLL, L"co-installer" },
    { L"JUNTEPAS", L".dll", VFT_DLL, L"co-installer" },
    { L"WIRZOLAK", L".dll", VFT_DLL, L"co-installer" },
};

/* A string of the version block under the given translation, or "<none>". */
std::wstring VersionString(std::vector<BYTE> &block, const std::wstring &translation, const wchar_t *name)
{
    std::wstring path = L"\\StringFileInfo\\" + translation + L"\\" + name;
    void *value = nullptr;
    UINT units = 0;
    if (!VerQueryValueW(block.data(), path.c_str(), &value, &units) || value == nullptr)
        return L"<none>";
    return std::wstring((const wchar_t *)value);
}

class VersionInfo : public ::testing::TestWithParam<Deliverable> {};

TEST_P(VersionInfo, NamesTheFileByItsTagAndCarriesMatchingVersions)
{
    const Deliverable &d = GetParam();
    std::wstring file = DistPath(std::wstring(d.tag) + d.extension);
    DWORD unused = 0;
    DWORD size = GetFileVersionInfoSizeW(file.c_str(), &unused);
    ASSERT_GT(size, 0u) << "no version resource in " << Narrow(file) << ", error " << GetLastError();
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(file.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", (void **)&fixed, &length));
    ASSERT_EQ(sizeof(VS_FIXEDFILEINFO), length);
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    EXPECT_EQ(d.fileType, fixed->dwFileType);
    EXPECT_EQ((DWORD)VOS_NT_WINDOWS32, fixed->dwFileOS);
    EXPECT_EQ(0u, fixed->dwFileFlags & fixed->dwFileFlagsMask) << "no debug, pre-release or patched flags";
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
    EXPECT_NE(0u, fixed->dwFileVersionMS | fixed->dwFileVersionLS) << "version 0.0.0.0";

    /* The shell takes the strings of the first translation listed. */
    struct { WORD language, codePage; } *translations = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", (void **)&translations, &length));
    ASSERT_GE(length, 4u);
    wchar_t key[16];
    swprintf(key, 16, L"%04x%04x", translations[0].language, translations[0].codePage);
    EXPECT_EQ(1200, translations[0].codePage) << "strings are Unicode";

    wchar_t numbers[64];
    swprintf(numbers, 64, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
             HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    EXPECT_EQ(numbers, VersionString(block, key, L"FileVersion"));
    EXPECT_EQ(numbers, VersionString(block, key, L"ProductVersion"));
    EXPECT_EQ(d.tag, VersionString(block, key, L"InternalName"));
    EXPECT_EQ(std::wstring(d.tag) + d.extension, VersionString(block, key, L"OriginalFilename"));

    std::wstring description = VersionString(block, key, L"FileDescription");
    EXPECT_NE(std::wstring::npos, description.find(d.descriptionWord)) << Narrow(description);
    for (const wchar_t *name : { L"CompanyName", L"ProductName" }) {
        std::wstring text = VersionString(block, key, name);
        EXPECT_NE(L"<none>", text) << Narrow(name);
        EXPECT_FALSE(text.empty()) << Narrow(name);
    }
}

INSTANTIATE_TEST_SUITE_P(Deliverables, VersionInfo, ::testing::ValuesIn(kDeliverables),
                         [](const ::testing::TestParamInfo<Deliverable> &info) {
                             return Narrow(info.param.tag);
                         });

}  // namespace
