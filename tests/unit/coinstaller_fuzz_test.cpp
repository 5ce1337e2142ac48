/*
 * The default-printer procedure fed seeded random configurations: printer
 * lists with null fields, names of 0 to 300 units and multi-port queues; a
 * "PortName" and "Devices" values without terminator, of odd sizes, of the
 * wrong type or very large; user key names up to 255 units; missing keys;
 * now and then a block or an enumeration that fails. Every global-memory
 * block ends at a page end before an inaccessible page, so a read one byte
 * past it faults the test.
 *
 * After each run: every block freed, every key closed, "Device" written in
 * exactly the hives the test's own model names, with the value the model
 * composes, and every other value of every hive's Devices and Windows keys
 * byte-identical.
 *
 * FUZZ_CONFIGS (default 300) and FUZZ_SEED repeat or widen a run.
 */
#include <gtest/gtest.h>
#include <algorithm>
#include <random>

#include "child_process.h"
#include "coinstaller_fixtures.h"
#include "coinstaller_under_test.h"
#include "coinstaller_fuzz_seams.h"
#include "device_setup.h"
#include "test_paths.h"

namespace {

const wchar_t kModel[] = L"Fuzz Model Nine";
const wchar_t kHwid[] = L"FUZZTEST_HWID";
const size_t kFullNameBytes = 260;
const wchar_t kDevicesSuffix[] = L"\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
const size_t kPathUnits = 260;

unsigned long long EnvNumber(const wchar_t *name, unsigned long long fallback)
{
    wchar_t text[64];
    DWORD n = GetEnvironmentVariableW(name, text, 64);
    return n == 0 || n >= 64 ? fallback : _wcstoui64(text, NULL, 10);
}

/* Letters, digits and a few marks whose case-insensitive comparison is the
   same for every collation (no hyphen or apostrophe, which word sorting
   treats apart). */
const wchar_t kAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 _.#";

wchar_t FoldAscii(wchar_t c)
{
    return c >= L'a' && c <= L'z' ? (wchar_t)(c - 32) : c;
}

bool SameIgnoringCase(const std::wstring &a, const std::wstring &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    return true;
}

std::wstring UnitsUpToZero(const std::vector<wchar_t> &units)
{
    std::wstring s;
    for (wchar_t c : units) {
        if (!c)
            break;
        s += c;
    }
    return s;
}

struct Rng {
    std::mt19937_64 engine;
    unsigned long long operator()(unsigned long long n) { return n ? engine() % n : 0; }
    bool Chance(int percent) { return (int)(engine() % 100) < percent; }
    std::wstring Text(size_t length)
    {
        std::wstring s;
        for (size_t i = 0; i < length; i++)
            s += kAlphabet[engine() % (sizeof(kAlphabet) / sizeof(wchar_t) - 1)];
        return s;
    }
    std::wstring CaseVariant(const std::wstring &s)
    {
        std::wstring out = s;
        for (wchar_t &c : out)
            if (Chance(30) && ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z')))
                c = (wchar_t)(c ^ 0x20);
        return out;
    }
    /* 0 to 300 units, with the edges of the 128-unit limit often. */
    size_t NameLength()
    {
        int k = (int)(engine() % 100);
        if (k < 10)
            return 0;
        if (k < 60)
            return 1 + (size_t)(engine() % 24);
        if (k < 80)
            return 124 + (size_t)(engine() % 10);
        return (size_t)(engine() % 301);
    }
};

/* A registry value as the test stores it: the bytes given, of the type
   given; the registry's own reading of them is taken from a snapshot. */
struct RawValue {
    DWORD type;
    std::vector<BYTE> bytes;
};

RawValue TextValue(Rng &rng, const std::wstring &text)
{
    RawValue v;
    const BYTE *b = (const BYTE *)text.c_str();
    size_t n = text.size() * sizeof(wchar_t);
    int form = (int)rng(100);
    v.type = REG_SZ;
    if (form < 35) {                       /* terminator counted */
        v.bytes.assign(b, b + n + 2);
    } else if (form < 55) {                /* no terminator */
        v.bytes.assign(b, b + n);
    } else if (form < 70) {                /* odd size: half a unit more or less */
        v.bytes.assign(b, b + n);
        if (rng.Chance(50) && !v.bytes.empty())
            v.bytes.pop_back();
        else
            v.bytes.push_back('Z');
    } else if (form < 80) {                /* wrong type */
        v.type = rng.Chance(50) ? REG_BINARY : REG_EXPAND_SZ;
        v.bytes.assign(b, b + n + (rng.Chance(50) ? 2 : 0));
    } else if (form < 88) {                /* a number */
        v.type = REG_DWORD;
        BYTE d[4] = { 'A', 0, 'B', 0 };
        v.bytes.assign(d, d + 4);
    } else {                               /* very large */
        std::wstring big = text + rng.Text(3000 + rng(9000));
        const BYTE *bb = (const BYTE *)big.c_str();
        v.bytes.assign(bb, bb + (big.size() + 1) * sizeof(wchar_t));
    }
    return v;
}

/* Stores bytes exactly: the unit after them is never zero, so the registry
   adds no terminator of its own. */
LONG StoreRaw(HKEY root, const std::wstring &path, const std::wstring &name, const RawValue &v)
{
    HKEY key;
    LONG rc = RegCreateKeyExW(root, path.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::vector<BYTE> padded = v.bytes;
    padded.insert(padded.end(), { 'X', 'X', 'X', 'X' });
    rc = RegSetValueExW(key, name.c_str(), 0, v.type, padded.data(), (DWORD)v.bytes.size());
    RegCloseKey(key);
    return rc;
}

/* What the procedure reads as the port name from the bytes stored: their
   whole units up to the first zero; the half unit of an odd byte count is
   dropped, so no byte the registry did not return is part of it. */
std::wstring PortFromStored(const std::vector<BYTE> &stored)
{
    std::vector<wchar_t> u(stored.size() / 2 + 1, 0);
    memcpy(u.data(), stored.data(), stored.size() / 2 * 2);
    return UnitsUpToZero(u);
}

/* The composed full name for a printer and a Devices value, or false when
   the procedure must skip the hive (the value does not fit its room). */
bool ComposeFullName(const std::wstring &printer, const std::vector<BYTE> &value, std::wstring *full)
{
    size_t used = (printer.size() + 1) * sizeof(wchar_t);
    if (value.size() > kFullNameBytes - used)
        return false;                                   /* ERROR_MORE_DATA */
    std::vector<BYTE> dest(kFullNameBytes, kFuzzQueryFill);
    std::wstring head = printer + L",";
    memcpy(dest.data(), head.c_str(), used);
    std::copy(value.begin(), value.end(), dest.begin() + used);
    std::vector<wchar_t> u(kFullNameBytes / 2 + 1, 0);
    memcpy(u.data(), dest.data(), kFullNameBytes);
    size_t size = value.size();
    size_t end = (used + size) / 2;                     /* a dangling odd byte is dropped */
    if (size >= 2 && size % 2 == 0 && u[end - 1] == 0)
        ;
    else if (end < kFullNameBytes / 2)
        u[end] = 0;
    else
        return false;
    *full = UnitsUpToZero(u);
    return true;
}

const RegValue *FindIgnoringCase(const RegValues &values, const std::wstring &name)
{
    for (const auto &kv : values)
        if (SameIgnoringCase(kv.first, name))
            return &kv.second;
    return nullptr;
}

struct Config {
    std::vector<FuzzPrinter> printers;
    bool hasPortName;
    RawValue portName;
    int allocFailAt, enumFailAt;
    DWORD enumError;
};

class CoinstallerFuzz : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = TempDirFor(L"coinst-fuzz");
        inf_ = dir_ + L"\\fuzz.inf";
        wchar_t text[DEVICE_TEXT_UNITS];
        ASSERT_TRUE(WriteModelInf(inf_.c_str(), kModel, kHwid, text, DEVICE_TEXT_UNITS)) << Narrow(text);
        ASSERT_TRUE(CreatePrinterDevice(&device_, inf_.c_str(), kHwid, NULL, PORT_NAME_NONE)) << Narrow(device_.error);
        parameters_ = std::wstring(L"SYSTEM\\CurrentControlSet\\Enum\\") + device_.instanceId + L"\\Device Parameters";
        ResetFuzzSeams();
    }
    void TearDown() override
    {
        RemoveUserKeys(hives_);
        RemovePrinterDevice(&device_);
        DeleteFileW(inf_.c_str());
        RemoveDirectoryW(dir_.c_str());
        ResetFuzzSeams();
    }

    std::wstring dir_, inf_, parameters_;
    PrinterDevice device_;
    HiveFixture hives_;
};

TEST_F(CoinstallerFuzz, RandomConfigurationsFreeEverythingAndWriteOnlyWhereTheModelSays)
{
    const unsigned long long configs = EnvNumber(L"FUZZ_CONFIGS", 300);
    const unsigned long long seed = EnvNumber(L"FUZZ_SEED", 0x5EED2024);
    Rng rng;
    rng.engine.seed(seed);
    unsigned long long writes = 0, found = 0, nullNameFound = 0;

    for (unsigned long long n = 0; n < configs && !HasFailure(); n++) {
        SCOPED_TRACE("FUZZ_SEED=" + std::to_string(seed) + " configuration " + std::to_string(n));
        Config c;
        std::wstring devicePort = rng.Text(1 + rng(30));

        /* The printer list. */
        size_t count = rng.Chance(10) ? 0 : 1 + rng(12);
        std::vector<std::wstring> printerNames;
        for (size_t i = 0; i < count; i++) {
            FuzzPrinter p;
            p.hasName = !rng.Chance(10);
            p.hasDriver = !rng.Chance(8);
            p.hasPort = !rng.Chance(8);
            p.name = rng.Text(rng.NameLength());
            p.driver = rng.Chance(55) ? rng.CaseVariant(kModel) : rng.Text(rng.NameLength());
            int k = (int)rng(100);
            if (k < 50)
                p.port = rng.CaseVariant(devicePort);
            else if (k < 65)
                p.port = rng.Chance(50) ? devicePort + L"," + rng.Text(6) : rng.Text(6) + L"," + devicePort;
            else
                p.port = rng.Text(rng(40));
            c.printers.push_back(p);
            if (p.hasName)
                printerNames.push_back(p.name);
        }

        /* The device's port name. */
        c.hasPortName = !rng.Chance(8);
        c.portName = TextValue(rng, devicePort);
        if (c.portName.bytes.empty())
            c.portName.bytes.assign({ 'Z', 0 });    /* a size of 0 is the implementer's choice: not fuzzed */
        HKEY params;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, parameters_.c_str(), 0, NULL, 0, KEY_SET_VALUE,
                                                 NULL, &params, NULL));
        RegDeleteValueW(params, L"PortName");
        RegCloseKey(params);
        if (c.hasPortName) {
            ASSERT_EQ(ERROR_SUCCESS, StoreRaw(HKEY_LOCAL_MACHINE, parameters_, L"PortName", c.portName));
        }
        RegValues stored;
        ASSERT_TRUE(ReadValues(HKEY_LOCAL_MACHINE, parameters_, &stored));
        c.hasPortName = stored.count(L"PortName") != 0;

        /* Failures the platform cannot be made to produce. */
        c.allocFailAt = rng.Chance(6) ? 1 + (int)rng(3) : 0;
        c.enumFailAt = rng.Chance(5) ? 1 + (int)rng(2) : 0;
        c.enumError = rng.Chance(50) ? ERROR_ACCESS_DENIED : 0;

        /* The hives: names up to 255 units, keys missing, values of every form. */
        size_t hiveCount = 1 + rng(5);
        std::vector<std::wstring> testHives;
        for (size_t h = 0; h < hiveCount; h++) {
            std::wstring prefix = L"FZ" + std::to_wstring(n) + L"x" + std::to_wstring(h) + L"_";
            int k = (int)rng(100);
            size_t length = k < 10 ? 255 : k < 25 ? 204 + rng(5) : prefix.size() + rng(30);
            std::wstring name = prefix + rng.Text(length > prefix.size() ? length - prefix.size() : 0);
            std::wstring error;
            ASSERT_TRUE(CreateUserKey(hives_, name, &error)) << Narrow(error);
            testHives.push_back(name);
            if (!rng.Chance(25)) {
                std::wstring devices = name + L"\\" + kDevicesPath;
                ASSERT_TRUE(CreateUserKey(hives_, devices, &error)) << Narrow(error);
                for (const std::wstring &printer : printerNames) {
                    if (rng.Chance(80)) {
                        std::wstring text = L"winspool," + rng.Text(rng.Chance(50) ? rng(20) : rng(140));
                        RawValue v = rng.Chance(5) ? RawValue{ REG_SZ, {} } : TextValue(rng, text);
                        ASSERT_EQ(ERROR_SUCCESS, StoreRaw(HKEY_USERS, devices, rng.CaseVariant(printer), v));
                    }
                }
                if (rng.Chance(50)) {
                    ASSERT_EQ(ERROR_SUCCESS, StoreRaw(HKEY_USERS, devices, rng.Text(1 + rng(20)),
                                                      TextValue(rng, rng.Text(rng(50)))));
                }
            }
            if (!rng.Chance(25)) {
                std::wstring windows = name + L"\\" + kWindowsPath;
                ASSERT_TRUE(CreateUserKey(hives_, windows, &error)) << Narrow(error);
                if (rng.Chance(50)) {
                    ASSERT_EQ(ERROR_SUCCESS, StoreRaw(HKEY_USERS, windows, L"Device", TextValue(rng, rng.Text(rng(40)))));
                }
                if (rng.Chance(50)) {
                    ASSERT_EQ(ERROR_SUCCESS, StoreRaw(HKEY_USERS, windows, L"Spooler", TextValue(rng, L"yes")));
                }
            }
        }
        SaveDeviceValues(hives_);
        HiveSnapshot before = SnapshotHives();

        /* The model: which printer is found, and what each hive then holds. */
        const FuzzPrinter *match = nullptr;
        bool procedureRuns = c.hasPortName;
        std::wstring port = procedureRuns ? PortFromStored(stored[L"PortName"].data) : L"";
        int allocs = 1 + (procedureRuns ? 1 : 0);
        if (c.allocFailAt && c.allocFailAt <= allocs)
            procedureRuns = false;
        if (procedureRuns && c.enumFailAt)
            procedureRuns = false;           /* every enumeration failure ends the search */
        if (procedureRuns && !c.printers.empty() && c.allocFailAt == allocs + 1)
            procedureRuns = false;           /* the printer list's block */
        if (procedureRuns)
            for (const FuzzPrinter &p : c.printers)
                if (p.hasDriver && p.hasPort && SameIgnoringCase(kModel, p.driver) &&
                    SameIgnoringCase(port, p.port)) {
                    match = &p;
                    break;
                }
        HiveSnapshot expected = before;
        std::vector<std::wstring> expectedWrites;
        if (match && !match->hasName)
            nullNameFound++;
        if (match && match->hasName) {
            found++;
            for (auto &kv : expected) {
                HiveState &state = kv.second;
                if (match->name.size() * 2 + 4 > kFullNameBytes)
                    continue;                                        /* 122 */
                if (kv.first.size() + wcslen(kDevicesSuffix) >= kPathUnits)
                    continue;                                        /* path too long */
                if (!state.hasDevices)
                    continue;
                const RegValue *value = FindIgnoringCase(state.devices, match->name);
                std::wstring full;
                if (!value || !ComposeFullName(match->name, value->data, &full))
                    continue;
                if (!state.hasWindows)
                    continue;
                state.windows[L"Device"] = SzValue(full);
                expectedWrites.push_back(full);
                writes++;
            }
        }

        /* The run. */
        ResetFuzzSeams();
        g_fuzzSeams.fakePrinters = true;
        g_fuzzSeams.printers = c.printers;
        g_coinstallerSeams.globalAllocFailAt = c.allocFailAt;
        g_coinstallerSeams.globalAllocError = ERROR_NOT_ENOUGH_MEMORY;
        g_coinstallerSeams.enumPrintersFailAt = c.enumFailAt;
        g_coinstallerSeams.enumPrintersError = c.enumError;
        COINSTALLER_CONTEXT_DATA context = {};
        context.PostProcessing = TRUE;
        EXPECT_EQ((DWORD)NO_ERROR, CoInstallerE(DIF_INSTALLDEVICE, device_.hSet, &device_.data, &context));
        g_fuzzSeams.fakePrinters = false;

        EXPECT_EQ(0, g_fuzzSeams.liveBlocks) << "global-memory blocks not freed";
        EXPECT_EQ(0, g_fuzzSeams.foreignFrees) << "GlobalFree of something never allocated";
        EXPECT_NOTHING_LEAKED();

        /* Each write as it was made: REG_SZ, "Device", the terminator counted
           (the stored value cannot show it: the registry adds one). */
        EXPECT_EQ((int)expectedWrites.size(), g_coinstallerSeams.regSetCalls) << "writes made";
        for (int i = 0; i < g_coinstallerSeams.regSetCalls && i < SEAM_RECORDED_SETS; i++) {
            const SeamRegistrySet &set = g_coinstallerSeams.regSets[i];
            std::wstring text(set.data, wcsnlen(set.data, sizeof(set.data) / sizeof(wchar_t)));
            EXPECT_STREQ(L"Device", set.name);
            EXPECT_EQ((DWORD)REG_SZ, set.type);
            EXPECT_EQ((text.size() + 1) * sizeof(wchar_t), set.bytes) << "write " << i << ": " << Narrow(text);
            EXPECT_NE(expectedWrites.end(), std::find(expectedWrites.begin(), expectedWrites.end(), text))
                << "write " << i << " of a value the model does not compose: " << Narrow(text);
        }

        HiveSnapshot after = SnapshotHives();
        ASSERT_EQ(expected.size(), after.size()) << "hives appeared or vanished";
        for (const auto &kv : expected) {
            const HiveState &want = kv.second;
            auto got = after.find(kv.first);
            ASSERT_TRUE(got != after.end()) << Narrow(kv.first);
            EXPECT_EQ(want.hasDevices, got->second.hasDevices) << Narrow(kv.first);
            EXPECT_EQ(want.hasWindows, got->second.hasWindows) << Narrow(kv.first);
            EXPECT_TRUE(want.devices == got->second.devices) << "Devices changed in " << Narrow(kv.first);
            if (!(want.windows == got->second.windows)) {
                std::wstring detail;
                for (const auto &v : got->second.windows)
                    detail += L"  got " + v.first + L": " + ValueText(v.second) + L"\n";
                for (const auto &v : want.windows)
                    detail += L"  want " + v.first + L": " + ValueText(v.second) + L"\n";
                ADD_FAILURE() << "Windows key of " << Narrow(kv.first) << " (match: "
                              << (match ? Narrow(match->name) : std::string("none")) << ", port \""
                              << Narrow(port) << "\")\n" << Narrow(detail);
            }
        }
        RemoveUserKeys(hives_);
    }
    /* The run must have met the interesting cases, or it tested little. */
    EXPECT_GT(found, configs / 20) << "hardly a configuration found its printer";
    EXPECT_GT(writes, configs / 20) << "hardly a Device value was written";
    RecordProperty("found", (int)found);
    RecordProperty("writes", (int)writes);
    RecordProperty("null_name_found", (int)nullNameFound);
}

/* The guard pages themselves: a read one byte past a block faults. */
TEST(CoinstallerFuzzSeams, ReadingOneBytePastABlockFaults)
{
    ResetFuzzSeams();
    for (SIZE_T bytes : { (SIZE_T)1, (SIZE_T)7, (SIZE_T)520, (SIZE_T)4096, (SIZE_T)4097, (SIZE_T)40000 }) {
        BYTE *block = (BYTE *)SeamGlobalAlloc(GMEM_FIXED, bytes);
        ASSERT_NE(nullptr, block);
        EXPECT_EQ(kFuzzBlockFill, block[bytes - 1]);
        MEMORY_BASIC_INFORMATION info;
        ASSERT_NE(0u, VirtualQuery(block + bytes, &info, sizeof(info)));
        EXPECT_NE((DWORD)MEM_COMMIT, info.State) << "the page after a block of " << bytes << " bytes is usable";
        ASSERT_NE(0u, VirtualQuery(block + bytes - 1, &info, sizeof(info)));
        EXPECT_EQ((DWORD)MEM_COMMIT, info.State);
        EXPECT_EQ(nullptr, SeamGlobalFree(block));
    }
    EXPECT_EQ(0, g_fuzzSeams.liveBlocks);
}

}  // namespace
