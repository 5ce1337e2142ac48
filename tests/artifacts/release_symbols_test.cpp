/*
 * A release's symbol store, read the way a debugger reads it: the folder
 * names a symbol server is asked for come from the signed binary's own
 * headers and CodeView record; dbghelp, searching exactly the PDB's folder,
 * loads the matching PDB for the binary taken from the store and finds a
 * known function in it, with its source file.
 * The release is the one made by release_setup.sh in <build>\test-release.
 */
#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_paths.h"

namespace {

struct Deliverable {
    const wchar_t *file;
    const wchar_t *function;     /* a routine the PDB must name */
    const wchar_t *sourceFile;   /* where that routine is, as the PDB records it */
};

void PrintTo(const Deliverable &d, std::ostream *os)
{
    *os << Narrow(d.file);
}

const Deliverable kDeliverables[] = {
    { L"TAVRIKEN.exe", L"WinMain", L"\\power_guard\\main.cpp" },
    { L"SOLMEDAR.exe", L"WndProc", L"\\power_guard\\main.cpp" },
    { L"BRAXUNET.exe", L"OnPowerBroadcast", L"\\power_guard\\power_events.cpp" },
    { L"HELDRAVO.dll", L"CoInstallerE", L"\\coinstaller\\entry.cpp" },
    { L"JUNTEPAS.dll", L"CoInstallerE", L"\\coinstaller\\entry.cpp" },
    { L"WIRZOLAK.dll", L"CoInstallerE", L"\\coinstaller\\entry.cpp" },
};

/* What a debugger reads from a binary to find its symbols. */
struct ImageFacts {
    DWORD timeDateStamp;
    DWORD sizeOfImage;
    GUID guid;
    DWORD age;
    std::wstring pdbName;
};

struct CodeViewRecord {
    DWORD signature;            /* 'RSDS' */
    GUID guid;
    DWORD age;
    char pdbPath[1];
};

std::wstring Upper(std::wstring text)
{
    CharUpperBuffW(&text[0], (DWORD)text.size());
    return text;
}

std::wstring Widen(const char *text)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], n);
    return wide;
}

std::wstring FullPath(const std::wstring &path)
{
    wchar_t full[MAX_PATH];
    DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return n > 0 && n < MAX_PATH ? std::wstring(full) : path;
}

bool IsFile(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

/* Reads the binary as a file (not loaded): its headers and CodeView record. */
::testing::AssertionResult ReadImageFacts(const std::wstring &path, ImageFacts *facts)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return ::testing::AssertionFailure() << "CreateFileW(" << Narrow(path) << ") error " << GetLastError();
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    DWORD mappingError = GetLastError();
    CloseHandle(file);
    if (!mapping)
        return ::testing::AssertionFailure() << "CreateFileMappingW error " << mappingError;
    BYTE *base = (BYTE *)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    DWORD viewError = GetLastError();
    CloseHandle(mapping);
    if (!base)
        return ::testing::AssertionFailure() << "MapViewOfFile error " << viewError;

    ::testing::AssertionResult result = ::testing::AssertionFailure() << "no CodeView (RSDS) record";
    PIMAGE_NT_HEADERS nt = ImageNtHeader(base);
    ULONG size = 0;
    PIMAGE_SECTION_HEADER section = nullptr;
    auto *debug = nt ? (PIMAGE_DEBUG_DIRECTORY)ImageDirectoryEntryToDataEx(
                           base, FALSE, IMAGE_DIRECTORY_ENTRY_DEBUG, &size, &section)
                     : nullptr;
    for (ULONG i = 0; debug && i < size / sizeof(*debug); i++) {
        auto *cv = (const CodeViewRecord *)(base + debug[i].PointerToRawData);
        if (debug[i].Type != IMAGE_DEBUG_TYPE_CODEVIEW || cv->signature != 0x53445352)
            continue;
        facts->timeDateStamp = nt->FileHeader.TimeDateStamp;
        facts->sizeOfImage = nt->OptionalHeader.SizeOfImage;
        facts->guid = cv->guid;
        facts->age = cv->age;
        std::wstring pdbPath = Widen(cv->pdbPath);
        facts->pdbName = pdbPath.substr(pdbPath.find_last_of(L"\\/") + 1);
        result = ::testing::AssertionSuccess();
        break;
    }
    UnmapViewOfFile(base);
    return result;
}

std::wstring GuidAgeFolder(const GUID &g, DWORD age)
{
    wchar_t text[64];
    swprintf(text, 64, L"%08X%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X%X", (unsigned)g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7],
             (unsigned)age);
    return text;
}

/* Loads the binary with only searchPath to look in for its PDB and says
   what dbghelp found. */
::testing::AssertionResult ModuleInfoWith(const std::wstring &searchPath, const std::wstring &binary,
                                          IMAGEHLP_MODULEW64 *module)
{
    HANDLE process = GetCurrentProcess();
    if (!SymInitializeW(process, searchPath.c_str(), FALSE))
        return ::testing::AssertionFailure() << "SymInitializeW error " << GetLastError();
    DWORD64 base = SymLoadModuleExW(process, nullptr, binary.c_str(), nullptr, 0, 0, nullptr, 0);
    DWORD error = GetLastError();
    module->SizeOfStruct = sizeof(*module);
    BOOL haveInfo = base && SymGetModuleInfoW64(process, base, module);
    if (base && !haveInfo)
        error = GetLastError();
    SymCleanup(process);
    if (!base)
        return ::testing::AssertionFailure() << "SymLoadModuleExW(" << Narrow(binary) << ") error " << error;
    if (!haveInfo)
        return ::testing::AssertionFailure() << "SymGetModuleInfoW64 error " << error;
    return ::testing::AssertionSuccess();
}

std::wstring StoreRoot(void)
{
    return FullPath(BuildDir() + L"\\test-release\\default\\release\\symbols");
}

class ReleaseSymbols : public ::testing::TestWithParam<Deliverable> {};

TEST_P(ReleaseSymbols, PdbLoadsFromItsStoreFolderForTheSignedBinary)
{
    const Deliverable &d = GetParam();
    std::wstring signedBinary = FullPath(BuildDir() + L"\\test-release\\default\\release\\bin\\" + d.file);
    ImageFacts facts = {};
    ASSERT_TRUE(ReadImageFacts(signedBinary, &facts));

    /* The folders a symbol server is asked for. */
    wchar_t key[32];
    swprintf(key, 32, L"%08X%x", (unsigned)facts.timeDateStamp, (unsigned)facts.sizeOfImage);
    std::wstring storedBinary = StoreRoot() + L"\\" + d.file + L"\\" + key + L"\\" + d.file;
    std::wstring pdbFolder = StoreRoot() + L"\\" + facts.pdbName + L"\\" + GuidAgeFolder(facts.guid, facts.age);
    std::wstring storedPdb = pdbFolder + L"\\" + facts.pdbName;
    ASSERT_TRUE(IsFile(storedBinary)) << "not in the store: " << Narrow(storedBinary);
    ASSERT_TRUE(IsFile(storedPdb)) << "not in the store: " << Narrow(storedPdb);

    /* dbghelp, refusing a PDB that does not match the binary, finds none
       when it may look only in an empty folder: the PDB it finds below
       comes from the store folder. */
    SymSetOptions(SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_EXACT_SYMBOLS);
    std::wstring empty = TempDirFor(L"no-symbols");
    IMAGEHLP_MODULEW64 without = {};
    ::testing::AssertionResult loaded = ModuleInfoWith(empty, storedBinary, &without);
    RemoveDirectoryW(empty.c_str());
    ASSERT_TRUE(loaded);
    EXPECT_NE(SymPdb, without.SymType) << "a PDB was found outside the store: " << Narrow(without.LoadedPdbName);

    /* With exactly the store folder as its search path. */
    HANDLE process = GetCurrentProcess();
    ASSERT_TRUE(SymInitializeW(process, pdbFolder.c_str(), FALSE)) << "SymInitializeW error " << GetLastError();
    DWORD64 base = SymLoadModuleExW(process, nullptr, storedBinary.c_str(), nullptr, 0, 0, nullptr, 0);
    DWORD loadError = GetLastError();
    EXPECT_NE(0u, base) << "SymLoadModuleExW(" << Narrow(storedBinary) << ") error " << loadError;

    IMAGEHLP_MODULEW64 module = {};
    module.SizeOfStruct = sizeof(module);
    BOOL haveInfo = base && SymGetModuleInfoW64(process, base, &module);
    EXPECT_TRUE(haveInfo) << "SymGetModuleInfoW64 error " << GetLastError();
    if (haveInfo) {
        EXPECT_EQ(SymPdb, module.SymType) << "SymType " << module.SymType;
        /* The PDB's name, with the store folder if a folder is given. */
        std::wstring pdb = Upper(module.LoadedPdbName);
        size_t cut = pdb.find_last_of(L"\\/");
        EXPECT_EQ(Upper(facts.pdbName), cut == std::wstring::npos ? pdb : pdb.substr(cut + 1));
        if (cut != std::wstring::npos)
            EXPECT_EQ(Upper(storedPdb), Upper(FullPath(module.LoadedPdbName)));
        EXPECT_EQ(GuidAgeFolder(facts.guid, facts.age), GuidAgeFolder(module.PdbSig70, module.PdbAge));
        EXPECT_FALSE(module.PdbUnmatched);
    }

    std::vector<BYTE> buffer(sizeof(SYMBOL_INFOW) + MAX_SYM_NAME * sizeof(wchar_t));
    auto *symbol = (SYMBOL_INFOW *)buffer.data();
    symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
    symbol->MaxNameLen = MAX_SYM_NAME;
    BOOL found = base && SymFromNameW(process, d.function, symbol);
    EXPECT_TRUE(found) << "SymFromNameW(" << Narrow(d.function) << ") error " << GetLastError();
    if (found) {
        EXPECT_GE(symbol->Address, base);
        EXPECT_LT(symbol->Address, base + facts.sizeOfImage);
        IMAGEHLP_LINEW64 line = {};
        line.SizeOfStruct = sizeof(line);
        DWORD displacement = 0;
        BOOL haveLine = SymGetLineFromAddrW64(process, symbol->Address, &displacement, &line);
        EXPECT_TRUE(haveLine) << "SymGetLineFromAddrW64 error " << GetLastError();
        if (haveLine) {
            std::wstring source = Upper(line.FileName);
            std::wstring want = Upper(d.sourceFile);
            EXPECT_TRUE(source.size() >= want.size() && source.compare(source.size() - want.size(), want.size(), want) == 0)
                << Narrow(d.function) << " is in " << Narrow(line.FileName);
        }
    }
    EXPECT_TRUE(SymCleanup(process)) << "SymCleanup error " << GetLastError();
}

INSTANTIATE_TEST_SUITE_P(Deliverables, ReleaseSymbols, ::testing::ValuesIn(kDeliverables));

}  // namespace
