#include "platform/RegistryU.h"

#include "platform/GuardU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"

#include "ImportPatch.h"
#include "KorvTest.h"

#include <aclapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

std::string Ansi(const std::wstring& ascii)
{
    return std::string(ascii.begin(), ascii.end());
}

std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// Raw value access, so fixtures and read-backs do not go through the layer.
void RawSet(HKEY key, const std::string& name, DWORD type, const std::string& bytes)
{
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name.c_str(), 0, type,
                                            reinterpret_cast<const BYTE*>(bytes.data()),
                                            static_cast<DWORD>(bytes.size())))
        << name;
}

// Stored type and bytes of a value, through the wide call (the 8-bit one adds
// a missing terminator to what it reads); false when missing.
bool RawGet(HKEY key, const std::string& name, DWORD& type, std::string& bytes)
{
    std::wstring wname = Wide(name);
    DWORD size = 0;
    if (RegQueryValueExW(key, wname.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    std::vector<BYTE> buf(size + 1);
    if (RegQueryValueExW(key, wname.c_str(), nullptr, &type, buf.data(), &size) != ERROR_SUCCESS)
        return false;
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        // String types come back as UTF-16: back to the 8-bit bytes, unit for unit.
        int units = static_cast<int>(size / sizeof(wchar_t));
        const auto* wide = reinterpret_cast<const wchar_t*>(buf.data());
        int n = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
        bytes.assign(n, '\0');
        WideCharToMultiByte(CP_ACP, 0, wide, units, bytes.data(), n, nullptr, nullptr);
    } else {
        bytes.assign(reinterpret_cast<const char*>(buf.data()), size);
    }
    return true;
}

bool RawExistsIn(const std::wstring& path, REGSAM view, const std::string& name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    std::string bytes;
    bool found = RawGet(key, name, type, bytes);
    RegCloseKey(key);
    return found;
}

bool RawKeyExists(HKEY root, const std::wstring& path, REGSAM view = 0)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::string Printable(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c >= 32 && c < 127) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

class RegistryU : public ktest::ScratchKeyTest {
protected:
    std::string path_ = Ansi(ScratchPath());
};

} // namespace

// ---------------------------------------------------------------------------
// Names and locations (pure text: also run under code page 932)

TEST(TextRegistryNames, SplitJoinAndRootNames)
{
    struct Case {
        const char* text;
        bool ok;
        HKEY root;
        const char* path;
    } cases[] = {
        {"HKLM\\Software\\X", true, HKEY_LOCAL_MACHINE, "Software\\X"},
        {"hklm\\a", true, HKEY_LOCAL_MACHINE, "a"},
        {"HKU\\x", true, HKEY_USERS, "x"},
        {"HKCR\\.txt", true, HKEY_CLASSES_ROOT, ".txt"},
        {"hkCu\\Software\\A\\B", true, HKEY_CURRENT_USER, "Software\\A\\B"},
        {"HKLM\\", true, HKEY_LOCAL_MACHINE, ""},
        {"HKEY_LOCAL_MACHINE\\a", false, nullptr, nullptr},
        {"HKLM", false, nullptr, nullptr},
        {"XX\\a", false, nullptr, nullptr},
        {"\\HKLM\\a", false, nullptr, nullptr},
        {"", false, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        HKEY root = reinterpret_cast<HKEY>(0x1234);
        std::string path = "untouched";
        ASSERT_EQ(c.ok, RegSplitKeyPath(c.text, root, path));
        if (c.ok) {
            EXPECT_EQ(c.root, root);
            EXPECT_EQ(c.path, path);
        } else {
            EXPECT_EQ(reinterpret_cast<HKEY>(0x1234), root);
            EXPECT_EQ("untouched", path);
        }
    }

    EXPECT_EQ("HKCR", RegRootToName(HKEY_CLASSES_ROOT));
    EXPECT_EQ("HKCU", RegRootToName(HKEY_CURRENT_USER));
    EXPECT_EQ("HKLM", RegRootToName(HKEY_LOCAL_MACHINE));
    EXPECT_EQ("HKU", RegRootToName(HKEY_USERS));
    EXPECT_EQ("HKUNKNOWN", RegRootToName(HKEY_CURRENT_CONFIG));
    EXPECT_EQ("HKUNKNOWN", RegRootToName(nullptr));
    EXPECT_EQ(nullptr, RegNameToRoot("HKEY_CURRENT_USER"));
    EXPECT_EQ(nullptr, RegNameToRoot("HKCC"));
    EXPECT_EQ(HKEY_USERS, RegNameToRoot("hku"));

    EXPECT_EQ("HKLM\\Software\\X", RegJoinKeyPath(HKEY_LOCAL_MACHINE, "Software\\X"));
    EXPECT_EQ("HKUNKNOWN\\a", RegJoinKeyPath(HKEY_CURRENT_CONFIG, "a"));
    // Join and split are inverse for every root name.
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS}) {
        HKEY back = nullptr;
        std::string path;
        ASSERT_TRUE(RegSplitKeyPath(RegJoinKeyPath(root, "A\\B"), back, path));
        EXPECT_EQ(root, back);
        EXPECT_EQ("A\\B", path);
    }

    // A names text back into names: the default value's empty line stays.
    EXPECT_EQ((std::vector<std::string>{"", "b", "c"}), RegSplitNames("\r\nb\r\nc\r\n"));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), RegSplitNames("a\r\nb"));
    EXPECT_EQ((std::vector<std::string>{"a\nb"}), RegSplitNames("a\nb\r\n"));
    EXPECT_EQ(std::vector<std::string>{}, RegSplitNames(""));

    EXPECT_EQ(0, LastCharPos('\\', "Software"));
    EXPECT_EQ(9, LastCharPos('\\', "Software\\X"));
    EXPECT_EQ(11, LastCharPos('\\', "Software\\X\\"));
    EXPECT_EQ(1, LastCharPos('a', "a"));
    EXPECT_EQ(0, LastCharPos('a', ""));
}

// ---------------------------------------------------------------------------
// Views

TEST(RegistryViews, AccessBitTable)
{
    struct Case {
        bool win64, process64, view32, view64;
        REGSAM bit;
    } cases[] = {
        // 32-bit Windows: the flags change nothing.
        {false, false, false, false, 0},
        {false, false, true, false, 0},
        {false, false, false, true, 0},
        {false, false, true, true, 0},
        // The shipped 32-bit program on 64-bit Windows.
        {true, false, false, false, 0},
        {true, false, true, false, KEY_WOW64_32KEY},
        {true, false, false, true, KEY_WOW64_64KEY},
        {true, false, true, true, KEY_WOW64_64KEY},
        // A 64-bit build asks for the 32-bit view where the 32-bit program gets it by default.
        {true, true, false, false, KEY_WOW64_32KEY},
        {true, true, true, false, KEY_WOW64_32KEY},
        {true, true, false, true, KEY_WOW64_64KEY},
        {true, true, true, true, KEY_WOW64_64KEY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "win64=" << c.win64 << " process64=" << c.process64
                                        << " view32=" << c.view32 << " view64=" << c.view64);
        EXPECT_EQ(c.bit, RegViewAccessBitFor(c.win64, c.process64, c.view32, c.view64));
    }
}

TEST(RegistryViews, ScopeRestoresFlagsAfterExceptionAndNesting)
{
    ASSERT_FALSE(RegView32);
    ASSERT_FALSE(RegView64);
    try {
        TRegViewScope scope(true, true);
        EXPECT_TRUE(RegView32);
        EXPECT_TRUE(RegView64);
        {
            TRegViewScope inner(true, false);
            EXPECT_FALSE(RegView64);
        }
        EXPECT_TRUE(RegView64);
        throw std::runtime_error("leaves the scope");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(RegView32);
    EXPECT_FALSE(RegView64);
}

namespace {

struct ThreadFlags {
    bool view32 = true;
    bool view64 = true;
    REGSAM bit = 0xFFFF;
};

DWORD WINAPI ReadFlagsThread(void* param)
{
    Guard([param] {
        auto* flags = static_cast<ThreadFlags*>(param);
        flags->view32 = RegView32;
        flags->view64 = RegView64;
        flags->bit = RegViewAccessBit();
    });
    return 0;
}

} // namespace

TEST(RegistryViews, NewThreadStartsWithBothFlagsFalse)
{
    // The access bit that the real process gets, by build and platform: 32-bit
    // Windows has one view and no bit; the 32-bit program under Wow64 gets the
    // 32-bit view without a bit; a 64-bit build asks for it explicitly.
    const bool process64 = sizeof(void*) == 8;
    const REGSAM bothFlagsBit = IsWin64() ? KEY_WOW64_64KEY : 0;
    const REGSAM noFlagBit = IsWin64() && process64 ? KEY_WOW64_32KEY : 0;

    TRegViewScope scope(true, true);
    ASSERT_EQ(bothFlagsBit, RegViewAccessBit());
    ThreadFlags flags;
    HANDLE thread = CreateThread(nullptr, 0, &ReadFlagsThread, &flags, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    CloseHandle(thread);
    EXPECT_FALSE(flags.view32);
    EXPECT_FALSE(flags.view64);
    // No flag means the 32-bit view, as for the shipped program.
    EXPECT_EQ(noFlagBit, flags.bit);
    EXPECT_TRUE(RegView64) << "the creator's flags are its own";
}

TEST_F(RegistryU, ViewMatrixUnderHklm)
{
    const bool flags[][2] = {{true, true}, {false, true}, {true, false}, {false, false}};
    if (!IsWin64()) {
        // 32-bit Windows has one registry view: every combination of the flags
        // writes the same key, which every other combination then reads.
        ASSERT_NE(nullptr, HklmTwin(0));
        for (const auto& write : flags) {
            const std::string name = "w"s + (write[0] ? "32" : "") + (write[1] ? "64" : "");
            SCOPED_TRACE(name);
            {
                TRegViewScope scope(write[0], write[1]);
                ASSERT_EQ(0u, RegViewAccessBit());
                ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, path_, name, "x"));
            }
            EXPECT_TRUE(RawExistsIn(ScratchPath(), 0, name));
            for (const auto& read : flags) {
                TRegViewScope scope(read[0], read[1]);
                std::string back;
                EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, path_, name, back));
                EXPECT_EQ("x", back);
            }
        }
        EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, L"Software\\Wow6432Node"))
            << "no 32-bit branch on 32-bit Windows";
        return;
    }
    ASSERT_NE(nullptr, HklmTwin(KEY_WOW64_32KEY));
    ASSERT_NE(nullptr, HklmTwin(KEY_WOW64_64KEY));
    const std::wstring wow6432 =
        L"Software\\Wow6432Node\\" + ScratchPath().substr(wcslen(L"Software\\"));

    struct Case {
        const char* name;
        bool view32, view64;
        bool in64; // lands in the 64-bit view, else in the 32-bit view
    } cases[] = {
        {"both", true, true, true},
        {"only64", false, true, true},
        {"only32", true, false, false},
        {"none", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            TRegViewScope scope(c.view32, c.view64);
            ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, path_, c.name, "x"));
            std::string back;
            EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, path_, c.name, back));
            EXPECT_TRUE(RegValueExists(HKEY_LOCAL_MACHINE, path_, c.name));
        }
        EXPECT_EQ(c.in64, RawExistsIn(ScratchPath(), KEY_WOW64_64KEY, c.name));
        EXPECT_EQ(!c.in64, RawExistsIn(ScratchPath(), KEY_WOW64_32KEY, c.name));
        // The 32-bit view is the Wow6432Node branch of the 64-bit one.
        EXPECT_EQ(!c.in64, RawExistsIn(wow6432, KEY_WOW64_64KEY, c.name));
        // Seen from the other view it is missing.
        TRegViewScope other(c.in64, !c.in64);
        EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, path_, c.name));
    }
}

// ---------------------------------------------------------------------------
// Core operations and typed values

TEST_F(RegistryU, ReadersAcceptTheirTypesAndCutOnlyTerminatorsPresent)
{
    struct Case {
        const char* name;
        DWORD type;
        std::string stored;
        bool stringOk; // RegReadString
        std::string string;
        bool expandOk; // RegReadExpandString
        std::string expand;
        bool multiOk; // RegReadMultiString
        std::string multi;
        bool typedOk; // RegReadStringTyped
        std::string typed;
    } cases[] = {
        // A zero-length REG_SZ is legal: '' and True, never a length of -1.
        {"emptySz", REG_SZ, "", true, "", false, "", false, "", true, ""},
        {"sz", REG_SZ, "abc\0"s, true, "abc", false, "", false, "", true, "abc"},
        {"szNoNul", REG_SZ, "abc", true, "abc", false, "", false, "", true, "abc"},
        {"expand", REG_EXPAND_SZ, "%TEMP%\\x\0"s, false, "", true, "%TEMP%\\x", false, "", true,
         "%TEMP%\\x"},
        // One final NUL only: the last item keeps its last character.
        {"multiOneNul", REG_MULTI_SZ, "a\0b\0"s, false, "", false, "", true, "a\0b"s, true,
         "a\0b"s},
        {"multiTwoNuls", REG_MULTI_SZ, "a\0bc\0\0"s, false, "", false, "", true, "a\0bc"s, true,
         "a\0bc"s},
        {"multiEmpty", REG_MULTI_SZ, "", false, "", false, "", true, "", true, ""},
        // Binary data is bytes: a final NUL is data, not a terminator.
        {"binary", REG_BINARY, "\x01\x00\xFF"s, false, "", false, "", false, "", true,
         "\x01\x00\xFF"s},
        {"binaryNul", REG_BINARY, "\x01\x00"s, false, "", false, "", false, "", true, "\x01\x00"s},
        {"dword", REG_DWORD, "\x01\x00\x00\x00"s, false, "", false, "", false, "", false, ""},
    };
    for (const auto& c : cases)
        RawSet(hkcu_, c.name, c.type, c.stored);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string value = "untouched";
        EXPECT_EQ(c.stringOk, RegReadString(HKEY_CURRENT_USER, path_, c.name, value));
        EXPECT_EQ(c.stringOk ? c.string : "untouched", value) << Printable(value);

        value = "untouched";
        EXPECT_EQ(c.expandOk, RegReadExpandString(HKEY_CURRENT_USER, path_, c.name, value));
        EXPECT_EQ(c.expandOk ? c.expand : "untouched", value) << Printable(value);

        value = "untouched";
        EXPECT_EQ(c.multiOk, RegReadMultiString(HKEY_CURRENT_USER, path_, c.name, value));
        EXPECT_EQ(c.multiOk ? c.multi : "untouched", value) << Printable(value);

        value = "untouched";
        DWORD type = 99;
        EXPECT_EQ(c.typedOk, RegReadStringTyped(HKEY_CURRENT_USER, path_, c.name, type, value));
        EXPECT_EQ(c.typedOk ? c.typed : "untouched", value) << Printable(value);
        EXPECT_EQ(c.typedOk ? c.type : 99u, type);
    }

    std::string value = "untouched";
    DWORD type = 99;
    EXPECT_FALSE(RegReadString(HKEY_CURRENT_USER, path_, "missing", value));
    EXPECT_FALSE(RegReadStringTyped(HKEY_CURRENT_USER, path_, "missing", type, value));
    EXPECT_FALSE(RegReadString(HKEY_CURRENT_USER, path_ + "\\NoSuchKey", "sz", value));
    EXPECT_EQ("untouched", value);
    EXPECT_EQ(99u, type);

    // The generic read gives exactly the stored bytes and refuses another type.
    std::vector<BYTE> data{9};
    EXPECT_FALSE(RegReadValue(HKEY_CURRENT_USER, path_, "sz", REG_EXPAND_SZ, data));
    EXPECT_EQ(std::vector<BYTE>{9}, data);
    ASSERT_TRUE(RegReadValue(HKEY_CURRENT_USER, path_, "binaryNul", REG_BINARY, data));
    EXPECT_EQ((std::vector<BYTE>{0x01, 0x00}), data);
    ASSERT_TRUE(RegReadValueW(HKEY_CURRENT_USER, Wide(path_), L"binary", REG_BINARY, data));
    EXPECT_EQ((std::vector<BYTE>{0x01, 0x00, 0xFF}), data);
}

TEST_F(RegistryU, ReadValueTakesValuesLargerThanAFirstGuess)
{
    std::string big(100000, 'x');
    big[5] = '\0';
    big[99999] = 'y';
    RawSet(hkcu_, "big", REG_BINARY, big);
    std::vector<BYTE> data;
    ASSERT_TRUE(RegReadValue(HKEY_CURRENT_USER, path_, "big", REG_BINARY, data));
    EXPECT_EQ(big, std::string(data.begin(), data.end()));
    std::string text(5000, 'q');
    RawSet(hkcu_, "long", REG_SZ, text + '\0');
    std::string back;
    ASSERT_TRUE(RegReadString(HKEY_CURRENT_USER, path_, "long", back));
    EXPECT_EQ(text, back);
}

TEST_F(RegistryU, TypedWritersStoreExactBytes)
{
    struct Case {
        const char* name;
        DWORD type;
        std::string value;
        bool ok;
        std::string stored;
    } cases[] = {
        {"sz", REG_SZ, "abc", true, "abc\0"s},
        {"emptySz", REG_SZ, "", true, "\0"s},
        {"expand", REG_EXPAND_SZ, "%WINDIR%", true, "%WINDIR%\0"s},
        // Binary goes in as it is: no NUL grows it on every round trip.
        {"binary", REG_BINARY, "\x01\x02\x00"s, true, "\x01\x02\x00"s},
        {"multi", REG_MULTI_SZ, "a\0b"s, true, "a\0b\0\0"s},
        {"dword", REG_DWORD, "abcd", false, ""},
        {"none", REG_NONE, "abc", false, ""},
        {"qword", REG_QWORD, "12345678", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.ok, RegWriteStringTyped(HKEY_CURRENT_USER, path_, c.name, c.type, c.value));
        DWORD type = 0;
        std::string stored;
        ASSERT_EQ(c.ok, RawGet(hkcu_, c.name, type, stored)) << "refused types write nothing";
        if (!c.ok)
            continue;
        EXPECT_EQ(c.type, type);
        EXPECT_EQ(c.stored, stored) << Printable(stored);
        // The typed pair round-trips byte for byte.
        DWORD backType = 0;
        std::string back;
        ASSERT_TRUE(RegReadStringTyped(HKEY_CURRENT_USER, path_, c.name, backType, back));
        EXPECT_EQ(c.type, backType);
        EXPECT_EQ(c.value, back) << Printable(back);
    }

    ASSERT_TRUE(RegWriteString(HKEY_CURRENT_USER, path_, "", "default"));
    ASSERT_TRUE(RegWriteExpandString(HKEY_CURRENT_USER, path_, "exp2", "%X%"));
    DWORD type = 0;
    std::string stored;
    ASSERT_TRUE(RawGet(hkcu_, "", type, stored));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ("default\0"s, stored);
    ASSERT_TRUE(RawGet(hkcu_, "exp2", type, stored));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    // Writing creates the missing keys on the way.
    ASSERT_TRUE(RegWriteString(HKEY_CURRENT_USER, path_ + "\\New\\Deeper", "v", "1"));
    EXPECT_TRUE(RegKeyExists(HKEY_CURRENT_USER, path_ + "\\New\\Deeper"));
}

TEST_F(RegistryU, WideReaderTakesStringTypes)
{
    auto setWide = [this](const wchar_t* name, DWORD type, const std::wstring& data) {
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExW(hkcu_, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size() * sizeof(wchar_t))));
    };
    const std::wstring text = L"caf\u00E9 \u4E2D\u6587";
    setWide(L"sz", REG_SZ, text + L'\0');
    setWide(L"expand", REG_EXPAND_SZ, L"%TEMP%" + std::wstring(1, L'\0'));
    setWide(L"multi", REG_MULTI_SZ, std::wstring(L"a\0b\0\0", 5));
    setWide(L"bin", REG_BINARY, L"xy");

    std::wstring value;
    ASSERT_TRUE(RegReadWideString(HKEY_CURRENT_USER, ScratchPath(), L"sz", value));
    EXPECT_EQ(text, value);
    ASSERT_TRUE(RegReadWideString(HKEY_CURRENT_USER, ScratchPath(), L"expand", value));
    EXPECT_EQ(L"%TEMP%", value);
    ASSERT_TRUE(RegReadWideString(HKEY_CURRENT_USER, ScratchPath(), L"multi", value));
    EXPECT_EQ(std::wstring(L"a\0b\0", 4), value);
    value = L"untouched";
    EXPECT_FALSE(RegReadWideString(HKEY_CURRENT_USER, ScratchPath(), L"bin", value));
    EXPECT_FALSE(RegReadWideString(HKEY_CURRENT_USER, ScratchPath(), L"missing", value));
    EXPECT_EQ(L"untouched", value);
}

TEST_F(RegistryU, FixedSizeReadersTreatOtherSizesAsMissing)
{
    struct Case {
        const char* name;
        DWORD type;
        std::string stored;
        DWORD dword;
        bool boolean;
    } cases[] = {
        {"one", REG_DWORD, "\x01\x00\x00\x00"s, 1, true},
        {"two", REG_DWORD, "\x02\x00\x00\x00"s, 2, false},
        {"big", REG_DWORD, "\x78\x56\x34\x12"s, 0x12345678, false},
        {"minus", REG_DWORD, "\xFF\xFF\xFF\xFF"s, 0xFFFFFFFF, false},
        // Stored as 2 bytes: reading 4 would read past the data.
        {"short", REG_DWORD, "\x01\x00"s, 0, false},
        {"long", REG_DWORD, "\x01\x00\x00\x00\x00"s, 0, false},
        {"binary", REG_BINARY, "\x01\x00\x00\x00"s, 0, false},
        {"string", REG_SZ, "1\0"s, 0, false},
    };
    for (const auto& c : cases)
        RawSet(hkcu_, c.name, c.type, c.stored);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.dword, RegReadDWord(HKEY_CURRENT_USER, path_, c.name));
        EXPECT_EQ(static_cast<int32_t>(c.dword), RegReadInteger(HKEY_CURRENT_USER, path_, c.name));
        EXPECT_EQ(c.boolean, RegReadBool(HKEY_CURRENT_USER, path_, c.name));
    }
    EXPECT_EQ(0u, RegReadDWord(HKEY_CURRENT_USER, path_, "missing"));
    EXPECT_FALSE(RegReadBool(HKEY_CURRENT_USER, path_, "missing"));

    ASSERT_TRUE(RegWriteDWord(HKEY_CURRENT_USER, path_, "w", 0xA1B2C3D4));
    DWORD type = 0;
    std::string stored;
    ASSERT_TRUE(RawGet(hkcu_, "w", type, stored));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ("\xD4\xC3\xB2\xA1"s, stored);
    ASSERT_TRUE(RegWriteInteger(HKEY_CURRENT_USER, path_, "i", -2));
    EXPECT_EQ(-2, RegReadInteger(HKEY_CURRENT_USER, path_, "i"));

    // Dates: the 8 raw bytes of the double, bit-exact both ways.
    const TDateTime dates[] = {45123.456789123456, -693593.999, 1.0 / 3.0, 0.0};
    for (TDateTime date : dates) {
        ASSERT_TRUE(RegWriteDateTime(HKEY_CURRENT_USER, path_, "date", date));
        ASSERT_TRUE(RawGet(hkcu_, "date", type, stored));
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
        ASSERT_EQ(8u, stored.size());
        EXPECT_EQ(0, std::memcmp(stored.data(), &date, 8));
        TDateTime back = RegReadDateTime(HKEY_CURRENT_USER, path_, "date");
        EXPECT_EQ(0, std::memcmp(&back, &date, 8)) << date;
    }
    RawSet(hkcu_, "date4", REG_BINARY, "\x00\x00\x80\x3F"s);
    EXPECT_EQ(0.0, RegReadDateTime(HKEY_CURRENT_USER, path_, "date4"));
    double one = 1.0;
    RawSet(hkcu_, "date9", REG_BINARY, std::string(reinterpret_cast<char*>(&one), 8) + '\0');
    EXPECT_EQ(0.0, RegReadDateTime(HKEY_CURRENT_USER, path_, "date9"));
    RawSet(hkcu_, "dateDword", REG_QWORD, std::string(reinterpret_cast<char*>(&one), 8));
    EXPECT_EQ(0.0, RegReadDateTime(HKEY_CURRENT_USER, path_, "dateDword"));
    EXPECT_EQ(0.0, RegReadDateTime(HKEY_CURRENT_USER, path_, "missing"));
}

TEST_F(RegistryU, BinaryHexRefusesMalformedTextAndWritesNothing)
{
    struct Case {
        const char* hex;
        bool ok;
        std::string bytes;
        const char* readBack;
    } cases[] = {
        {"0aff", true, "\x0A\xFF"s, "0AFF"},
        {"00A1b2", true, "\x00\xA1\xB2"s, "00A1B2"},
        {"", true, "", ""},
        {"ABC", false, "", nullptr},
        {"ZZ", false, "", nullptr},
        {"0g", false, "", nullptr},
        {"0 ", false, "", nullptr},
        {"-1", false, "", nullptr},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        std::string name = "hex" + std::to_string(n++);
        EXPECT_EQ(c.ok, RegWriteBinaryHex(HKEY_CURRENT_USER, path_, name, c.hex));
        DWORD type = 0;
        std::string stored;
        ASSERT_EQ(c.ok, RawGet(hkcu_, name, type, stored));
        if (!c.ok)
            continue;
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
        EXPECT_EQ(c.bytes, stored);
        std::string hex;
        ASSERT_TRUE(RegReadBinaryHex(HKEY_CURRENT_USER, path_, name, hex));
        EXPECT_EQ(c.readBack, hex);
    }
    RawSet(hkcu_, "sz", REG_SZ, "0A\0"s);
    std::string hex = "untouched";
    EXPECT_FALSE(RegReadBinaryHex(HKEY_CURRENT_USER, path_, "sz", hex));
    EXPECT_EQ("untouched", hex);
}

TEST_F(RegistryU, WriteValueLeavesTheFailingCallsErrorAsLastError)
{
    HKEY bogus = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x7654320));
    HKEY key = nullptr;
    LONG expected = RegCreateKeyExA(bogus, "x", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    ASSERT_NE(ERROR_SUCCESS, expected);

    SetLastError(12345);
    EXPECT_FALSE(RegWriteString(bogus, "x", "v", "1"));
    EXPECT_EQ(static_cast<DWORD>(expected), GetLastError());

    SetLastError(12345);
    EXPECT_TRUE(RegWriteValue(HKEY_CURRENT_USER, path_, "ok", REG_BINARY, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
}

TEST_F(RegistryU, ExistenceTypeAndValueRemoval)
{
    RawSet(hkcu_, "v", REG_EXPAND_SZ, "x\0"s);
    RawSet(hkcu_, "", REG_SZ, "d\0"s);
    DWORD type = 99;
    EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, path_, "v"));
    EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, path_, ""));
    EXPECT_TRUE(RegGetValueType(HKEY_CURRENT_USER, path_, "v", type));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_FALSE(RegGetValueType(HKEY_CURRENT_USER, path_, "missing", type));
    EXPECT_EQ(0u, type);
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, path_, "missing"));
    EXPECT_TRUE(RegKeyExists(HKEY_CURRENT_USER, path_));
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, path_ + "\\Missing"));

    EXPECT_TRUE(RegRemoveValue(HKEY_CURRENT_USER, path_, "v"));
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, path_, "v"));
    EXPECT_FALSE(RegRemoveValue(HKEY_CURRENT_USER, path_, "v"));
    EXPECT_FALSE(RegRemoveValue(HKEY_CURRENT_USER, path_ + "\\Missing", "v"));
}

// ---------------------------------------------------------------------------
// Deletion

namespace {

// "reg export" of one key in one view into a file on drive C; the file's bytes,
// or "" with ok false when reg.exe fails (a missing key, for one).
struct RegExport {
    std::wstring dir;

    RegExport()
    {
        CreateDirectoryW(L"C:\\ktest-scratch", nullptr);
        dir = L"C:\\ktest-scratch\\" + ktest::InstanceName() + L".regexport." +
              std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(dir.c_str(), nullptr);
    }
    ~RegExport() { ktest::RemoveTree(dir); }

    std::string Export(const std::wstring& key, const wchar_t* view, bool& ok)
    {
        static int counter = 0;
        std::wstring file = dir + L"\\export" + std::to_wstring(++counter) + L".reg";
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        std::wstring exe = std::wstring(system) + L"\\reg.exe";
        std::wstring cmd = L"reg.exe export \"" + key + L"\" \"" + file + L"\" /y " + view;
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        ok = false;
        if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                            nullptr, nullptr, &si, &pi))
            return "";
        DWORD code = 1;
        if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0)
            GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        std::string bytes = ktest::ReadFileBytes(file);
        DeleteFileW(file.c_str());
        ok = code == 0 && !bytes.empty();
        return bytes;
    }
};

void MakeTree(HKEY root, const std::wstring& path, REGSAM view, const wchar_t* marker)
{
    for (const wchar_t* sub : {L"", L"\\A", L"\\A\\B", L"\\A\\B\\C", L"\\D"}) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, (path + sub).c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS | view, nullptr, &key, nullptr));
        RegSetValueExW(key, L"marker", 0, REG_SZ, reinterpret_cast<const BYTE*>(marker),
                       static_cast<DWORD>((wcslen(marker) + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
}

} // namespace

// A name may hold a NUL: a value of such a name is reached whole, never the
// value named by its first part, and a key of such a name is never opened by
// its cut name (which would be its parent, through the trailing backslash).
TEST_F(RegistryU, NamesThatHoldANulAreNeverCut)
{
    const std::string path = path_ + "\\nul";
    ASSERT_TRUE(RegWriteString(HKEY_CURRENT_USER, path, "abc", "plain abc"));
    ASSERT_TRUE(RegWriteString(HKEY_CURRENT_USER, path, "x", "unrelated"));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, AnsiToWide(path).c_str(), 0,
                                           KEY_ALL_ACCESS, &key));
    const std::string wideData(reinterpret_cast<const char*>(L"with nul"), 18);
    ASSERT_TRUE(ktest::SetValueCounted(key, std::wstring(L"abc\0def", 7), REG_SZ, wideData));

    const std::string name("abc\0def", 7);
    std::string text;
    EXPECT_TRUE(RegReadString(HKEY_CURRENT_USER, path, name, text));
    EXPECT_EQ("with nul", text);
    DWORD type = 0;
    EXPECT_TRUE(RegGetValueType(HKEY_CURRENT_USER, path, name, type));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    // Writing "x<NUL>y" makes a value of its own and leaves "x" alone.
    const std::string xy("x\0y", 3);
    EXPECT_TRUE(RegWriteString(HKEY_CURRENT_USER, path, xy, "written"));
    EXPECT_TRUE(RegReadString(HKEY_CURRENT_USER, path, "x", text));
    EXPECT_EQ("unrelated", text);
    EXPECT_TRUE(RegReadString(HKEY_CURRENT_USER, path, xy, text));
    EXPECT_EQ("written", text);
    std::string names;
    ASSERT_TRUE(RegGetValueNames(HKEY_CURRENT_USER, path, names));
    EXPECT_NE(std::string::npos, names.find(xy + "\r\n")) << names;
    EXPECT_TRUE(RegRemoveValue(HKEY_CURRENT_USER, path, name));
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, path, name));
    EXPECT_TRUE(RegReadString(HKEY_CURRENT_USER, path, "abc", text));
    EXPECT_EQ("plain abc", text);

    // A sub-key whose name starts with a NUL is listed, and refused by every
    // call that would open it.
    const std::wstring hiddenName(L"\0hidden", 7);
    HKEY hidden = ktest::CreateKeyCounted(key, hiddenName);
    ASSERT_NE(nullptr, hidden);
    ASSERT_TRUE(ktest::SetValueCounted(hidden, L"inner", REG_SZ, wideData));
    RegCloseKey(hidden);
    ASSERT_TRUE(RegGetSubKeyNames(HKEY_CURRENT_USER, path, names));
    EXPECT_NE(std::string::npos, names.find(std::string("\0hidden\r\n", 9)));
    const std::string hiddenPath = path + std::string("\\\0hidden", 8);
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, hiddenPath));
    EXPECT_FALSE(RegGetValueNames(HKEY_CURRENT_USER, hiddenPath, names));
    EXPECT_FALSE(RegWriteString(HKEY_CURRENT_USER, hiddenPath, "v", "x"));
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, path, "v")) << "written to the cut name";
    EXPECT_FALSE(RegReadString(HKEY_CURRENT_USER, hiddenPath, "abc", text));
    // The tree cannot go whole; it fails without looping on the cut name.
    EXPECT_FALSE(RegRemoveKeyTree(HKEY_CURRENT_USER, path, true));
    EXPECT_TRUE(RegKeyExists(HKEY_CURRENT_USER, path));
    EXPECT_TRUE(ktest::DeleteKeyCounted(key, hiddenName));
    RegCloseKey(key);
}

TEST_F(RegistryU, RemoveKeyTreeInOneViewLeavesTheOtherViewsTwin)
{
    if (!IsWin64()) {
        // 32-bit Windows has one registry view, so there is no twin to leave:
        // with either flag set the tree goes from the only view.
        ASSERT_NE(nullptr, HklmTwin(0));
        const std::wstring tree = ScratchPath() + L"\\Tree";
        for (const bool view64 : {true, false}) {
            SCOPED_TRACE(view64 ? "RegView64" : "RegView32");
            MakeTree(HKEY_LOCAL_MACHINE, tree, 0, L"one");
            TRegViewScope view(!view64, view64);
            EXPECT_TRUE(RegRemoveKeyTree(HKEY_LOCAL_MACHINE, Ansi(tree), true));
            EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, tree));
            EXPECT_TRUE(RawKeyExists(HKEY_LOCAL_MACHINE, ScratchPath()));
        }
        return;
    }
    ASSERT_NE(nullptr, HklmTwin(KEY_WOW64_32KEY));
    ASSERT_NE(nullptr, HklmTwin(KEY_WOW64_64KEY));
    const std::wstring tree = ScratchPath() + L"\\Tree";
    MakeTree(HKEY_LOCAL_MACHINE, tree, KEY_WOW64_64KEY, L"64");
    MakeTree(HKEY_LOCAL_MACHINE, tree, KEY_WOW64_32KEY, L"32");

    RegExport reg;
    bool ok = false;
    std::string before32 = reg.Export(L"HKLM\\" + tree, L"/reg:32", ok);
    ASSERT_TRUE(ok);
    std::string before64 = reg.Export(L"HKLM\\" + tree, L"/reg:64", ok);
    ASSERT_TRUE(ok);
    ASSERT_NE(before32, before64) << "the two views must hold different trees";

    {
        TRegViewScope view(false, true);
        EXPECT_TRUE(RegRemoveKeyTree(HKEY_LOCAL_MACHINE, Ansi(tree), true));
    }
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, tree, KEY_WOW64_64KEY));
    EXPECT_EQ(before32, reg.Export(L"HKLM\\" + tree, L"/reg:32", ok));
    EXPECT_TRUE(ok);

    // And the other way round: the default (32-bit) view removes its own tree.
    MakeTree(HKEY_LOCAL_MACHINE, tree, KEY_WOW64_64KEY, L"64");
    before64 = reg.Export(L"HKLM\\" + tree, L"/reg:64", ok);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(RegRemoveKeyTree(HKEY_LOCAL_MACHINE, Ansi(tree), true));
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, tree, KEY_WOW64_32KEY));
    EXPECT_EQ(before64, reg.Export(L"HKLM\\" + tree, L"/reg:64", ok));
}

TEST_F(RegistryU, RemoveKeyTreeRefusesKeysRightBelowARootAndEmptyParts)
{
    const std::wstring top = L"Korvelle.Test.Top." + ktest::InstanceName();
    MakeTree(HKEY_CURRENT_USER, top, 0, L"top");
    MakeTree(HKEY_CURRENT_USER, ScratchPath() + L"\\Tree", 0, L"tree");
    RegExport reg;
    bool ok = false;
    std::string topBefore = reg.Export(L"HKCU\\" + top, L"/reg:64", ok);
    ASSERT_TRUE(ok);
    std::string scratchBefore = reg.Export(L"HKCU\\" + ScratchPath(), L"/reg:64", ok);
    ASSERT_TRUE(ok);

    // A path that opens a key right below the root, or the scratch key itself
    // through an empty last part ("X\" opens X), is refused untouched; so is a
    // path with a NUL, which the 8-bit calls would cut to another key (the
    // tree removal of such a path once recursed until the stack overflowed).
    using namespace std::string_literals;
    const std::string refused[] = {
        Ansi(top),
        Ansi(top) + "\\",
        path_ + "\\",
        path_ + "\\Tree\\",
        path_ + "\\\\Tree",
        "\\" + Ansi(top),
        "",
        path_ + "\0\\Tree"s,
        path_ + "\\Tree\0"s,
        path_ + "\\Tree\0\\A"s,
    };
    for (const auto& path : refused) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(RegRemoveKeyTree(HKEY_CURRENT_USER, path, true));
        EXPECT_FALSE(RegRemoveKeyTree(HKEY_CURRENT_USER, path, false));
        EXPECT_FALSE(RegRemoveKey(HKEY_CURRENT_USER, path));
    }
    EXPECT_EQ(topBefore, reg.Export(L"HKCU\\" + top, L"/reg:64", ok));
    EXPECT_EQ(scratchBefore, reg.Export(L"HKCU\\" + ScratchPath(), L"/reg:64", ok));

    RegDeleteTreeW(HKEY_CURRENT_USER, top.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, top.c_str());
}

TEST_F(RegistryU, RemoveKeyNeedsALeafAndTreeRemovalTakesChildren)
{
    MakeTree(HKEY_CURRENT_USER, ScratchPath() + L"\\Tree", 0, L"t");
    const std::string tree = path_ + "\\Tree";
    EXPECT_FALSE(RegRemoveKey(HKEY_CURRENT_USER, tree)) << "a key with a sub-key stays";
    EXPECT_TRUE(RegKeyExists(HKEY_CURRENT_USER, tree + "\\A\\B\\C"));
    EXPECT_FALSE(RegRemoveKeyTree(HKEY_CURRENT_USER, tree, false));
    EXPECT_TRUE(RegKeyExists(HKEY_CURRENT_USER, tree));

    EXPECT_TRUE(RegRemoveKey(HKEY_CURRENT_USER, tree + "\\A\\B\\C"));
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, tree + "\\A\\B\\C"));
    EXPECT_FALSE(RegRemoveKey(HKEY_CURRENT_USER, tree + "\\A\\B\\C")) << "already gone";

    EXPECT_TRUE(RegRemoveKeyTree(HKEY_CURRENT_USER, tree, true));
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, tree));
    EXPECT_TRUE(RegKeyExists(HKEY_CURRENT_USER, path_));
    EXPECT_FALSE(RegRemoveKeyTree(HKEY_CURRENT_USER, tree, true)) << "missing key";
}

// ---------------------------------------------------------------------------
// Enumeration

TEST_F(RegistryU, GetNamesListsEveryNameWholeWithTheDefaultAsEmptyLine)
{
    // Made in name order, which is also the order Wine enumerates in.
    const std::string longName(2000, 'A');
    RawSet(hkcu_, "", REG_SZ, "d\0"s);
    RawSet(hkcu_, longName, REG_SZ, "l\0"s);
    RawSet(hkcu_, "b", REG_DWORD, "\x01\x00\x00\x00"s);
    RawSet(hkcu_, "c", REG_BINARY, "");
    std::string text = "untouched";
    ASSERT_TRUE(RegGetValueNames(HKEY_CURRENT_USER, path_, text));
    EXPECT_EQ("\r\n" + longName + "\r\nb\r\nc\r\n", text);

    for (const char* sub : {"K1", "K2", "K3"}) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(hkcu_, sub, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr));
        RegCloseKey(key);
    }
    ASSERT_TRUE(RegGetSubKeyNames(HKEY_CURRENT_USER, path_, text));
    EXPECT_EQ("K1\r\nK2\r\nK3\r\n", text);

    // An empty key: True and ''.
    text = "untouched";
    ASSERT_TRUE(RegGetNames(HKEY_CURRENT_USER, path_ + "\\K1", text, kRegNamesValues));
    EXPECT_EQ("", text);
    text = "untouched";
    ASSERT_TRUE(RegGetNames(HKEY_CURRENT_USER, path_ + "\\K1", text, kRegNamesSubKeys));
    EXPECT_EQ("", text);
    text = "untouched";
    EXPECT_FALSE(RegGetNames(HKEY_CURRENT_USER, path_ + "\\Missing", text, kRegNamesValues));
    EXPECT_FALSE(RegGetNames(HKEY_CURRENT_USER, path_, text, 2));
    EXPECT_EQ("untouched", text);
}

// ---------------------------------------------------------------------------
// Key security

namespace {

PSID MakeSid(BYTE authority, std::initializer_list<DWORD> rids)
{
    SID_IDENTIFIER_AUTHORITY auth{{0, 0, 0, 0, 0, authority}};
    std::vector<DWORD> r(rids);
    r.resize(8, 0);
    PSID sid = nullptr;
    AllocateAndInitializeSid(&auth, static_cast<BYTE>(rids.size()), r[0], r[1], r[2], r[3], r[4],
                             r[5], r[6], r[7], &sid);
    return sid;
}

struct AceSummary {
    int world = 0;
    int admins = 0;
    DWORD worldMask = 0;
    DWORD adminsMask = 0;
};

AceSummary SummariseDacl(HKEY key, PSID world, PSID admins)
{
    AceSummary summary;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                        nullptr, &sd) != ERROR_SUCCESS)
        return summary;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        PSID sid = &allowed->SidStart;
        if (EqualSid(sid, world)) {
            ++summary.world;
            summary.worldMask |= allowed->Mask;
        } else if (EqualSid(sid, admins)) {
            ++summary.admins;
            summary.adminsMask |= allowed->Mask;
        }
    }
    LocalFree(sd);
    return summary;
}

} // namespace

TEST_F(RegistryU, GrantKeyFullAccessAddsAdministratorsNotTheWorld)
{
    ASSERT_TRUE(IsWinNT());
    HKEY locked = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(hkcu_, "Locked", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &locked, nullptr));
    PSID world = MakeSid(1, {0});
    PSID admins = MakeSid(5, {32, 544});
    ASSERT_TRUE(world && admins);

    // A read-only DACL: the world group may read, nobody may write or delete.
    BYTE aclBuffer[256];
    auto* acl = reinterpret_cast<PACL>(aclBuffer);
    ASSERT_TRUE(InitializeAcl(acl, sizeof(aclBuffer), ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, world));
    SECURITY_DESCRIPTOR sd{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(locked, DACL_SECURITY_INFORMATION, &sd));
    AceSummary before = SummariseDacl(locked, world, admins);
    ASSERT_EQ(1, before.world);
    ASSERT_EQ(0, before.admins);

    // The descriptor reader grows its 20-byte first buffer.
    TSecurityDescriptorPtr read = RegGetKeySecurityDescriptor(locked, DACL_SECURITY_INFORMATION);
    ASSERT_TRUE(read);
    EXPECT_GT(GetSecurityDescriptorLength(read.get()), 20u);
    EXPECT_FALSE(RegGetKeySecurityDescriptor(nullptr, DACL_SECURITY_INFORMATION));

    EXPECT_TRUE(RegGrantKeyFullAccess(HKEY_CURRENT_USER, path_ + "\\Locked"));
    AceSummary after = SummariseDacl(locked, world, admins);
    EXPECT_EQ(1, after.world) << "no new entry for every user";
    EXPECT_EQ(static_cast<DWORD>(KEY_READ), after.worldMask);
    EXPECT_EQ(1, after.admins);
    // Stored as GENERIC_ALL, or mapped to the key's full rights.
    EXPECT_TRUE(after.adminsMask == GENERIC_ALL ||
                (after.adminsMask & KEY_ALL_ACCESS) == KEY_ALL_ACCESS)
        << std::hex << after.adminsMask;

    EXPECT_FALSE(RegGrantKeyFullAccess(HKEY_CURRENT_USER, path_ + "\\Missing"));
    RegCloseKey(locked);
    FreeSid(world);
    FreeSid(admins);
}

// ---------------------------------------------------------------------------
// Cost of a read: the layer must not pay a system call or a binding per key
// open. Counted, not timed, so a loaded machine cannot fail it: a child
// process points its own import table at counting stand-ins before anything
// is bound, then reads.

namespace {

// The calls a read may make, and those it must not make once warm.
enum CountedCall {
    kOpenA,
    kQueryA,
    kClose,
    kOtherRegistry, // the wide forms and the other key calls
    kBinding,       // GetProcAddress, LoadLibrary*, GetModuleHandle*
    kWow64Query,    // IsWow64Process, however it was reached
    kVersionQuery,  // GetVersionEx*
    kCountedCalls
};
constexpr const char* kCountedNames[kCountedCalls] = {
    "RegOpenKeyExA", "RegQueryValueExA", "RegCloseKey",  "other registry calls",
    "bindings",      "IsWow64Process",   "GetVersionEx",
};
std::atomic<long> gCalls[kCountedCalls];

// One stand-in per imported function: counts, then calls what the import held.
template <CountedCall Kind, auto Tag, typename R, typename... Args> struct Counter {
    static inline R(WINAPI* real)(Args...) = nullptr;
    static R WINAPI Call(Args... args)
    {
        ++gCalls[Kind];
        return real(args...);
    }
    static bool Install(const char* module, const char* function)
    {
        void* previous = importpatch::PatchImport(module, function, reinterpret_cast<void*>(&Call));
        if (previous)
            real = reinterpret_cast<R(WINAPI*)(Args...)>(previous);
        return previous != nullptr;
    }
};

template <auto Fn, CountedCall Kind> struct CounterOf;
template <typename R, typename... Args, R(WINAPI* Fn)(Args...), CountedCall Kind>
struct CounterOf<Fn, Kind> {
    using Type = Counter<Kind, Fn, R, Args...>;
};
template <auto Fn, CountedCall Kind> using CounterFor = typename CounterOf<Fn, Kind>::Type;

// IsWow64Process is bound by name, never imported: the counting binder hands
// out this stand-in instead.
decltype(&::IsWow64Process) gRealIsWow64Process = nullptr;
BOOL WINAPI CountedIsWow64Process(HANDLE process, PBOOL wow64)
{
    ++gCalls[kWow64Query];
    return gRealIsWow64Process(process, wow64);
}

using GetProcAddressCounter = CounterFor<&::GetProcAddress, kBinding>;
FARPROC WINAPI CountingGetProcAddress(HMODULE module, LPCSTR name)
{
    ++gCalls[kBinding];
    FARPROC fn = GetProcAddressCounter::real(module, name);
    if (fn && !IS_INTRESOURCE(name) && strcmp(name, "IsWow64Process") == 0) {
        gRealIsWow64Process =
            reinterpret_cast<decltype(&::IsWow64Process)>(reinterpret_cast<void*>(fn));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&CountedIsWow64Process));
    }
    return fn;
}

// Installs the stand-ins; false when the program does not import the three
// calls of a read, so that the count could not see them.
bool InstallCounters()
{
    const char* advapi = "advapi32.dll";
    const char* kernel = "kernel32.dll";
    bool core = CounterFor<&::RegOpenKeyExA, kOpenA>::Install(advapi, "RegOpenKeyExA") &
                CounterFor<&::RegQueryValueExA, kQueryA>::Install(advapi, "RegQueryValueExA") &
                CounterFor<&::RegCloseKey, kClose>::Install(advapi, "RegCloseKey");
    CounterFor<&::RegOpenKeyExW, kOtherRegistry>::Install(advapi, "RegOpenKeyExW");
    CounterFor<&::RegQueryValueExW, kOtherRegistry>::Install(advapi, "RegQueryValueExW");
    CounterFor<&::RegCreateKeyExA, kOtherRegistry>::Install(advapi, "RegCreateKeyExA");
    CounterFor<&::RegQueryInfoKeyA, kOtherRegistry>::Install(advapi, "RegQueryInfoKeyA");
    CounterFor<&::RegEnumValueA, kOtherRegistry>::Install(advapi, "RegEnumValueA");
    CounterFor<&::RegGetValueA, kOtherRegistry>::Install(advapi, "RegGetValueA");
    CounterFor<&::LoadLibraryA, kBinding>::Install(kernel, "LoadLibraryA");
    CounterFor<&::LoadLibraryW, kBinding>::Install(kernel, "LoadLibraryW");
    CounterFor<&::LoadLibraryExA, kBinding>::Install(kernel, "LoadLibraryExA");
    CounterFor<&::LoadLibraryExW, kBinding>::Install(kernel, "LoadLibraryExW");
    CounterFor<&::GetModuleHandleA, kBinding>::Install(kernel, "GetModuleHandleA");
    CounterFor<&::GetModuleHandleW, kBinding>::Install(kernel, "GetModuleHandleW");
    CounterFor<&::GetVersionExA, kVersionQuery>::Install(kernel, "GetVersionExA");
    CounterFor<&::GetVersionExW, kVersionQuery>::Install(kernel, "GetVersionExW");
    void* previous = importpatch::PatchImport(kernel, "GetProcAddress",
                                              reinterpret_cast<void*>(&CountingGetProcAddress));
    if (previous)
        GetProcAddressCounter::real = reinterpret_cast<decltype(&::GetProcAddress)>(previous);
    return core && previous;
}

constexpr int kCountedReads = 10000;
constexpr int kCountedValues = 10;

std::string CountedValueName(int i)
{
    std::string name = "v";
    name += std::to_string(i % kCountedValues);
    return name;
}

// v0..v9, short enough for the layer's first guess of a buffer.
void SetCountedValues(HKEY key)
{
    for (int i = 0; i < kCountedValues; ++i) {
        std::string data = "value number ";
        data += std::to_string(i);
        data.push_back('\0');
        RawSet(key, CountedValueName(i), REG_SZ, data);
    }
}

} // namespace

// args: the scratch key under HKCU holding v0..v9. Reads them once to warm up
// (the first read binds and asks what it asks once), then kCountedReads times;
// writes the calls of the warm-up and of the loop as DWORDs into its Counts
// sub-key.
KTEST_ROLE(count_registry_reads)
{
    if (args.size() != 1)
        return 2;
    // Before anything binds: the first use of IsWin64 must meet the stand-in.
    if (!InstallCounters())
        return 3;
    const std::string path = Ansi(args[0]);
    long warm[kCountedCalls];
    long loop[kCountedCalls];
    std::string value;
    for (int i = 0; i < kCountedValues; ++i)
        if (!RegReadString(HKEY_CURRENT_USER, path, CountedValueName(i), value))
            return 4;
    for (int c = 0; c < kCountedCalls; ++c)
        warm[c] = gCalls[c].exchange(0);
    for (int i = 0; i < kCountedReads; ++i)
        if (!RegReadString(HKEY_CURRENT_USER, path, CountedValueName(i), value))
            return 5;
    for (int c = 0; c < kCountedCalls; ++c)
        loop[c] = gCalls[c].exchange(0);

    HKEY counts = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, (args[0] + L"\\Counts").c_str(), 0, nullptr, 0,
                        KEY_WRITE, nullptr, &counts, nullptr) != ERROR_SUCCESS)
        return 6;
    for (int c = 0; c < kCountedCalls; ++c) {
        for (const auto& [prefix, table] : {std::pair{"warm ", warm}, std::pair{"loop ", loop}}) {
            const std::string name = prefix + std::string(kCountedNames[c]);
            const DWORD n = static_cast<DWORD>(table[c]);
            RegSetValueExA(counts, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n),
                           sizeof(n));
        }
    }
    RegCloseKey(counts);
    return 0;
}

TEST_F(RegistryU, ReadStringMakesTheCallsOfABareLoopAndNoMore)
{
    SetCountedValues(hkcu_);
    const ktest::ChildResult child = ktest::RunSelf(L"count_registry_reads", {ScratchPath()});
    ASSERT_TRUE(child.started);
    ASSERT_FALSE(child.timedOut);
    ASSERT_EQ(0u, child.exitCode) << "3: the program does not import the registry calls";

    HKEY counts = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(hkcu_, "Counts", 0, KEY_READ, &counts));
    auto count = [counts](const std::string& name) {
        DWORD n = 0xFFFFFFFF;
        DWORD size = sizeof(n);
        RegQueryValueExA(counts, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&n),
                         &size);
        return n;
    };
    // What a bare RegOpenKeyExA / RegQueryValueExA / RegCloseKey loop makes.
    const DWORD expected[kCountedCalls] = {kCountedReads, kCountedReads, kCountedReads, 0, 0, 0, 0};
    for (int c = 0; c < kCountedCalls; ++c)
        EXPECT_EQ(expected[c], count("loop " + std::string(kCountedNames[c])))
            << kCountedNames[c] << " in " << kCountedReads << " reads";
    // The stand-ins were in place before the first use: a 32-bit process asks
    // IsWow64Process once, so a question per read could not hide.
    if (sizeof(void*) == 4) {
        EXPECT_EQ(1u, count("warm IsWow64Process"));
    }
    RegCloseKey(counts);
}

// Not a timed test: run with --gtest_also_run_disabled_tests to compare
// 10,000 reads through the layer with a bare RegOpenKeyExA / RegQueryValueExA /
// RegCloseKey loop over the same values.
TEST_F(RegistryU, DISABLED_BenchmarkReadStringNearBareApiLoop)
{
    SetCountedValues(hkcu_);
    const int kValues = kCountedValues;
    const int kCalls = kCountedReads;
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    auto seconds = [&](auto&& body) {
        LARGE_INTEGER a, b;
        QueryPerformanceCounter(&a);
        body();
        QueryPerformanceCounter(&b);
        return double(b.QuadPart - a.QuadPart) / double(freq.QuadPart);
    };
    std::string names[kValues];
    for (int i = 0; i < kValues; ++i)
        names[i] = CountedValueName(i);

    double bestLayer = 1e9;
    double bestBare = 1e9;
    // Alternating rounds, best of each: load on the machine hits both alike.
    for (int round = 0; round < 3; ++round) {
        bestBare = std::min(bestBare, seconds([&] {
                                for (int i = 0; i < kCalls; ++i) {
                                    HKEY key = nullptr;
                                    if (RegOpenKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0,
                                                      KEY_READ | RegViewAccessBit(),
                                                      &key) != ERROR_SUCCESS)
                                        continue;
                                    char buf[256];
                                    DWORD size = sizeof(buf);
                                    DWORD type = 0;
                                    RegQueryValueExA(key, names[i % kValues].c_str(), nullptr,
                                                     &type, reinterpret_cast<BYTE*>(buf), &size);
                                    RegCloseKey(key);
                                }
                            }));
        bestLayer =
            std::min(bestLayer, seconds([&] {
                         std::string value;
                         for (int i = 0; i < kCalls; ++i)
                             RegReadString(HKEY_CURRENT_USER, path_, names[i % kValues], value);
                     }));
    }
    printf("RegReadString x%d: %.3f s, bare loop: %.3f s (ratio %.2f)\n", kCalls, bestLayer,
           bestBare, bestLayer / bestBare);
    EXPECT_LE(bestLayer, bestBare * 1.3);
}
