#include "platform/RegistryU.h"
#include "platform/SecurityU.h"
#include "platform/WinVersionU.h"

#include "KorvTest.h"

#include <sddl.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Helpers

std::string SidText(PSID sid)
{
    LPSTR text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text))
        return "?";
    std::string s = text;
    LocalFree(text);
    return s;
}

struct AceView {
    BYTE type;
    BYTE flags;
    DWORD mask;
    std::string sid;
};

// The entries of an ACL; ACCESS_ALLOWED, ACCESS_DENIED and mandatory-label
// entries share one layout.
std::vector<AceView> AcesOf(PACL acl)
{
    std::vector<AceView> out;
    if (!acl)
        return out;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(acl, i, &raw))
            break;
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        out.push_back({ace->Header.AceType, ace->Header.AceFlags, ace->Mask,
                       SidText(reinterpret_cast<PSID>(&ace->SidStart))});
    }
    return out;
}

PACL DaclOf(PSECURITY_DESCRIPTOR sd)
{
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present)
        return nullptr;
    return dacl;
}

PSID SidFromText(const char* text)
{
    PSID sid = nullptr;
    ConvertStringSidToSidA(text, &sid);
    return sid; // LocalFree
}

constexpr const char kTrustedInstallerSid[] =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// ---------------------------------------------------------------------------
// Shared and protected descriptors

TEST(SecurityU, SharedDescriptorsGrantTheWorldOneInheritableEntry)
{
    struct Case {
        const char* name;
        SECURITY_ATTRIBUTES* (*get)();
        DWORD mask;
    };
    const Case cases[] = {
        {"files", &GetSharedSecurityAttributes, 0x1F01FF},
        {"keys", &GetSharedKeySecurityAttributes, 0x1F003F},
    };
    for (const Case& c : cases) {
        SECURITY_ATTRIBUTES* sa = c.get();
        ASSERT_NE(nullptr, sa) << c.name;
        EXPECT_EQ(sa, c.get()) << c.name << ": one record for the process";
        EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), sa->nLength) << c.name;
        EXPECT_FALSE(sa->bInheritHandle) << c.name;
        ASSERT_TRUE(IsValidSecurityDescriptor(sa->lpSecurityDescriptor)) << c.name;
        std::vector<AceView> aces = AcesOf(DaclOf(sa->lpSecurityDescriptor));
        ASSERT_EQ(1u, aces.size()) << c.name;
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, aces[0].type) << c.name;
        EXPECT_EQ(3, aces[0].flags) << c.name;
        EXPECT_EQ("S-1-1-0", aces[0].sid) << c.name;
        EXPECT_EQ(c.mask, aces[0].mask) << c.name;
    }
}

TEST(SecurityU, SharedRecordIsBuiltOnceAcrossThreads)
{
    // The first use may come from several threads at once.
    std::vector<std::thread> threads;
    std::vector<SECURITY_ATTRIBUTES*> seen(8, nullptr);
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = GetProtectedSecurityAttributes(); });
    for (auto& t : threads)
        t.join();
    for (SECURITY_ATTRIBUTES* sa : seen)
        EXPECT_EQ(GetProtectedSecurityAttributes(), sa);
}

TEST(SecurityU, ProtectedDescriptorGivesUsersNoWrite)
{
    SECURITY_ATTRIBUTES* sa = GetProtectedSecurityAttributes();
    ASSERT_NE(nullptr, sa);
    EXPECT_FALSE(sa->bInheritHandle);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(sa->lpSecurityDescriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the parent's grants would be merged in";

    std::vector<AceView> aces = AcesOf(DaclOf(sa->lpSecurityDescriptor));
    ASSERT_EQ(3u, aces.size());
    const struct {
        const char* sid;
        DWORD mask;
    } expected[] = {
        {"S-1-5-32-544", GENERIC_ALL},
        {"S-1-5-18", GENERIC_ALL},
        {"S-1-5-32-545", GENERIC_READ | GENERIC_EXECUTE},
    };
    for (size_t i = 0; i < aces.size(); ++i) {
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, aces[i].type) << i;
        EXPECT_EQ(3, aces[i].flags) << i;
        EXPECT_EQ(expected[i].sid, aces[i].sid) << i;
        EXPECT_EQ(expected[i].mask, aces[i].mask) << i;
    }
}

class SecurityDir : public ktest::ScratchDirTest {};

TEST_F(SecurityDir, ProtectedFolderTakesNothingFromAWorldWritableParent)
{
    // A parent like ProgramData: every user may write, inheritably. (Wine keeps
    // its own default DACL on new folders, so there this shows only that no
    // world entry arrives; the merge that SE_DACL_PROTECTED stops happens on
    // Windows, and the flag itself is checked on the descriptor above.)
    std::string parent = dirAnsi_ + "open";
    ASSERT_TRUE(CreateDirectoryA(parent.c_str(), GetSharedSecurityAttributes()));
    std::string child = parent + "\\protected";
    ASSERT_TRUE(CreateDirectoryA(child.c_str(), GetProtectedSecurityAttributes()));

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              GetNamedSecurityInfoA(child.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &dacl, nullptr, &sd));
    std::vector<AceView> aces = AcesOf(dacl);
    LocalFree(sd);
    EXPECT_FALSE(aces.empty());
    for (const AceView& ace : aces) {
        EXPECT_NE("S-1-1-0", ace.sid) << "the world group reached a protected folder";
        if (ace.sid == "S-1-5-32-545") {
            EXPECT_EQ(0u, ace.mask & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA |
                                      FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER))
                << "Users may write: mask " << std::hex << ace.mask;
        }
    }
}

TEST(SecurityU, MakeAndFreeSecurityAttributes)
{
    PACL acl = MakeWorldAccessAcl(0x1F0003, 0);
    ASSERT_NE(nullptr, acl);
    SECURITY_ATTRIBUTES* sa = MakeSecurityAttributes(acl);
    ASSERT_NE(nullptr, sa);
    EXPECT_FALSE(sa->bInheritHandle);
    EXPECT_EQ(acl, DaclOf(sa->lpSecurityDescriptor));
    std::vector<AceView> aces = AcesOf(acl);
    ASSERT_EQ(1u, aces.size());
    EXPECT_EQ(0, aces[0].flags);
    EXPECT_EQ(0x1F0003u, aces[0].mask);
    FreeSecurityAttributes(sa);
    FreeSecurityAttributes(nullptr);
    LocalFree(acl);
}

// ---------------------------------------------------------------------------
// Trustee names and grants

struct FakeLookup {
    static inline std::string lastSid;
    static inline std::string answer;
    static inline bool fail = false;
    static BOOL WINAPI Lookup(LPCSTR, PSID sid, LPSTR name, LPDWORD nameSize, LPSTR domain,
                              LPDWORD domainSize, PSID_NAME_USE use)
    {
        lastSid = SidText(sid);
        if (fail || answer.size() + 1 > *nameSize) {
            SetLastError(ERROR_NONE_MAPPED);
            return FALSE;
        }
        memcpy(name, answer.c_str(), answer.size() + 1);
        *nameSize = static_cast<DWORD>(answer.size());
        if (*domainSize > 0)
            domain[0] = '\0';
        *domainSize = 0;
        *use = SidTypeWellKnownGroup;
        return TRUE;
    }
};

class SecurityLookupSeam : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeLookup::lastSid.clear();
        FakeLookup::fail = false;
        SetAccountLookup(&FakeLookup::Lookup);
    }
    void TearDown() override { SetAccountLookup(nullptr); }
};

TEST_F(SecurityLookupSeam, TrusteeNameIsTheLocalName)
{
    // A German system names the world group "Jeder".
    FakeLookup::answer = "Jeder";
    PSID world = SidFromText("S-1-1-0");
    EXPECT_EQ("Jeder", LookupTrusteeName(world, "Everyone"));
    EXPECT_EQ("S-1-1-0", FakeLookup::lastSid);
    FakeLookup::fail = true;
    EXPECT_EQ("Everyone", LookupTrusteeName(world, "Everyone"));
    LocalFree(world);
}

TEST(SecurityU, TrusteeNamesUnderWine)
{
    EXPECT_EQ("Everyone", WorldTrusteeName());
    EXPECT_EQ("Administrators", AdministratorsTrusteeName());
}

// A descriptor like that of a key that refuses deletion: the world may only
// read, the Administrators own it.
class ReadOnlyDescriptor {
public:
    ReadOnlyDescriptor()
    {
        world_ = SidFromText("S-1-1-0");
        admins_ = SidFromText("S-1-5-32-544");
        DWORD size = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE);
        acl_.resize(size);
        auto* acl = reinterpret_cast<PACL>(acl_.data());
        InitializeAcl(acl, size, ACL_REVISION);
        AddAccessDeniedAce(acl, ACL_REVISION, DELETE, world_);
        AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, world_);
        InitializeSecurityDescriptor(&sd_, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd_, TRUE, acl, FALSE);
        SetSecurityDescriptorOwner(&sd_, admins_, FALSE);
    }
    ~ReadOnlyDescriptor()
    {
        LocalFree(world_);
        LocalFree(admins_);
    }
    PSECURITY_DESCRIPTOR Absolute() { return &sd_; }
    std::vector<BYTE> SelfRelative()
    {
        DWORD size = 0;
        MakeSelfRelativeSD(&sd_, nullptr, &size);
        std::vector<BYTE> out(size);
        MakeSelfRelativeSD(&sd_, out.data(), &size);
        return out;
    }

private:
    PSID world_ = nullptr;
    PSID admins_ = nullptr;
    std::vector<BYTE> acl_;
    SECURITY_DESCRIPTOR sd_{};
};

TEST(SecurityU, GrantKeepsOldEntriesAndAddsTheTrustee)
{
    ReadOnlyDescriptor source;
    std::vector<BYTE> selfRelative = source.SelfRelative();
    std::vector<BYTE> before = selfRelative;
    struct Case {
        const char* name;
        PSECURITY_DESCRIPTOR input;
    };
    const Case cases[] = {{"self-relative", selfRelative.data()}, {"absolute", source.Absolute()}};
    for (const Case& c : cases) {
        PSECURITY_DESCRIPTOR granted = GrantTrusteeFullAccess(c.input, AdministratorsTrusteeName());
        ASSERT_NE(nullptr, granted) << c.name;
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(granted, &control, &revision);
        EXPECT_TRUE(control & SE_SELF_RELATIVE) << c.name;

        std::vector<AceView> aces = AcesOf(DaclOf(granted));
        int deny = 0, worldRead = 0, adminsAll = 0;
        for (const AceView& a : aces) {
            deny += a.type == ACCESS_DENIED_ACE_TYPE && a.sid == "S-1-1-0" && a.mask == DELETE;
            worldRead +=
                a.type == ACCESS_ALLOWED_ACE_TYPE && a.sid == "S-1-1-0" && a.mask == KEY_READ;
            adminsAll += a.type == ACCESS_ALLOWED_ACE_TYPE && a.sid == "S-1-5-32-544" &&
                         a.mask == GENERIC_ALL;
        }
        EXPECT_EQ(1, deny) << c.name;
        EXPECT_EQ(1, worldRead) << c.name;
        EXPECT_EQ(1, adminsAll) << c.name;
        EXPECT_EQ(3u, aces.size()) << c.name;

        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        ASSERT_TRUE(GetSecurityDescriptorOwner(granted, &owner, &defaulted));
        EXPECT_EQ("S-1-5-32-544", SidText(owner)) << c.name << ": the owner was lost";
        LocalFree(granted);
    }
    EXPECT_EQ(before, selfRelative) << "the caller's descriptor was changed";
}

TEST(SecurityU, GrantRefusesWhatItCannotDo)
{
    ReadOnlyDescriptor source;
    EXPECT_EQ(nullptr, GrantTrusteeFullAccess(nullptr, "Everyone"));
    EXPECT_EQ(nullptr, GrantTrusteeFullAccess(source.Absolute(), "Korvelle No Such Account"));
    BYTE garbage[64] = {};
    EXPECT_EQ(nullptr, GrantTrusteeFullAccess(garbage, "Everyone"));
}

TEST(SecurityU, AddTrusteeAccessAppendsAnExplicitGrant)
{
    PACL acl = AddTrusteeAccess(nullptr, WorldTrusteeName(), FILE_GENERIC_READ);
    ASSERT_NE(nullptr, acl);
    std::vector<AceView> aces = AcesOf(acl);
    ASSERT_EQ(1u, aces.size());
    EXPECT_EQ("S-1-1-0", aces[0].sid);
    EXPECT_EQ(static_cast<DWORD>(FILE_GENERIC_READ), aces[0].mask);

    PACL more = AddTrusteeAccess(acl, AdministratorsTrusteeName(), GENERIC_ALL);
    ASSERT_NE(nullptr, more);
    EXPECT_EQ(2u, AcesOf(more).size());
    LocalFree(more);
    LocalFree(acl);

    SetLastError(0);
    EXPECT_EQ(nullptr, AddTrusteeAccess(nullptr, "Korvelle No Such Account", GENERIC_ALL));
    EXPECT_NE(0u, GetLastError());
}

// ---------------------------------------------------------------------------
// Integrity labels

struct FakeLabel {
    static inline std::string name;
    static inline SE_OBJECT_TYPE type = SE_UNKNOWN_OBJECT_TYPE;
    static inline SECURITY_INFORMATION info = 0;
    static inline std::vector<BYTE> sacl;
    static inline bool otherPartsGiven = false;
    static inline DWORD result = ERROR_SUCCESS;
    static DWORD WINAPI Set(LPSTR objectName, SE_OBJECT_TYPE objectType,
                            SECURITY_INFORMATION securityInfo, PSID owner, PSID group, PACL dacl,
                            PACL saclIn)
    {
        name = objectName;
        type = objectType;
        info = securityInfo;
        otherPartsGiven = owner || group || dacl;
        sacl.assign(reinterpret_cast<BYTE*>(saclIn),
                    reinterpret_cast<BYTE*>(saclIn) + (saclIn ? saclIn->AclSize : 0));
        return result;
    }
};

TEST(SecurityU, IntegrityLabelIsOneMandatoryEntry)
{
    ASSERT_TRUE(IsVistaOrLater());
    FakeLabel::result = ERROR_SUCCESS;
    SetNamedSecurityInfoCall(&FakeLabel::Set);
    EXPECT_TRUE(SetObjectIntegrityLabel("Global\\KorvLabel", SE_KERNEL_OBJECT, 0x1000, 1));
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ("Global\\KorvLabel", FakeLabel::name);
    EXPECT_EQ(SE_KERNEL_OBJECT, FakeLabel::type);
    EXPECT_EQ(0x10u, FakeLabel::info);
    EXPECT_FALSE(FakeLabel::otherPartsGiven);
    ASSERT_EQ(64u, FakeLabel::sacl.size());
    auto* acl = reinterpret_cast<PACL>(FakeLabel::sacl.data());
    EXPECT_EQ(4, acl->AclRevision);
    std::vector<AceView> aces = AcesOf(acl);
    ASSERT_EQ(1u, aces.size());
    EXPECT_EQ(0x11, aces[0].type); // SYSTEM_MANDATORY_LABEL_ACE_TYPE
    EXPECT_EQ(0, aces[0].flags);
    EXPECT_EQ(1u, aces[0].mask);
    EXPECT_EQ("S-1-16-4096", aces[0].sid);

    // The call's result becomes the thread's last error.
    FakeLabel::result = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(SetObjectIntegrityLabel("Global\\KorvLabel", SE_KERNEL_OBJECT, 0x2000, 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    SetNamedSecurityInfoCall(nullptr);
}

TEST(SecurityU, IntegrityLabelOnRealObjects)
{
    const std::string base = "Global\\KorvLabelReal." + std::to_string(GetCurrentProcessId());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, (base + ".event").c_str());
    HANDLE mutex = CreateMutexA(nullptr, FALSE, (base + ".mutex").c_str());
    ASSERT_TRUE(event && mutex);
    EXPECT_TRUE(SetObjectIntegrityLabel(base + ".event", SE_KERNEL_OBJECT, kLowIntegrityRid,
                                        kNoWriteUpPolicy));
    EXPECT_TRUE(SetObjectIntegrityLabel(base + ".mutex", SE_KERNEL_OBJECT, kLowIntegrityRid,
                                        kNoWriteUpPolicy));
    CloseHandle(event);
    CloseHandle(mutex);
}

// ---------------------------------------------------------------------------
// Keys

class SecurityKeys : public ktest::ScratchKeyTest {
protected:
    std::string PathAnsi(const std::wstring& sub = L"")
    {
        std::wstring w = ScratchPath() + (sub.empty() ? L"" : L"\\" + sub);
        return std::string(w.begin(), w.end());
    }
};

TEST_F(SecurityKeys, OwnerNameOfAScratchKey)
{
    std::string owner = "untouched";
    ASSERT_TRUE(RegGetKeyOwnerName(HKEY_CURRENT_USER, PathAnsi(), owner));
    // Wine makes the Administrators group owner of every key.
    EXPECT_EQ("Administrators", owner);
    owner = "untouched";
    EXPECT_FALSE(RegGetKeyOwnerName(HKEY_CURRENT_USER, PathAnsi(L"missing"), owner));
    EXPECT_EQ("untouched", owner);
}

TEST_F(SecurityKeys, OwnerNameOfAModuleInstallerKey)
{
    HKEY sub = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(hkcu_, L"installer", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &sub, nullptr));
    PSID ti = SidFromText(kTrustedInstallerSid);
    SECURITY_DESCRIPTOR sd{};
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&sd, ti, FALSE);
    LONG set = RegSetKeySecurity(sub, OWNER_SECURITY_INFORMATION, &sd);
    RegCloseKey(sub);
    LocalFree(ti);
    ASSERT_EQ(ERROR_SUCCESS, set);

    // Wine knows no TrustedInstaller account: the seam plays Windows' lookup.
    FakeLookup::answer = "TrustedInstaller";
    FakeLookup::fail = false;
    FakeLookup::lastSid.clear();
    SetAccountLookup(&FakeLookup::Lookup);
    std::string owner;
    bool ok = RegGetKeyOwnerName(HKEY_CURRENT_USER, PathAnsi(L"installer"), owner);
    SetAccountLookup(nullptr);
    ASSERT_TRUE(ok);
    EXPECT_EQ(kTrustedInstallerSid, FakeLookup::lastSid);
    EXPECT_EQ("TrustedInstaller", owner);
}

TEST_F(SecurityKeys, OwnerNameLooksInTheThreadsView)
{
    // Only the 32-bit view has the key. 32-bit Windows has one registry view,
    // which the 64-bit flag does not leave.
    ASSERT_NE(nullptr, HklmTwin(KEY_WOW64_32KEY));
    std::string owner;
    {
        TRegViewScope view(true, false);
        EXPECT_TRUE(RegGetKeyOwnerName(HKEY_LOCAL_MACHINE, PathAnsi(), owner));
        EXPECT_EQ("Administrators", owner);
    }
    {
        TRegViewScope view(false, true);
        owner = "untouched";
        EXPECT_EQ(!IsWin64(), RegGetKeyOwnerName(HKEY_LOCAL_MACHINE, PathAnsi(), owner));
        EXPECT_EQ(IsWin64() ? "untouched" : "Administrators", owner);
    }
}

TEST_F(SecurityKeys, NativeNameInEachView)
{
    HklmTwin(KEY_WOW64_32KEY);
    HklmTwin(KEY_WOW64_64KEY);
    const std::wstring leaf = ScratchPath().substr(wcslen(L"Software\\"));
    struct Case {
        REGSAM view;
        std::wstring expectedTail;
    };
    // 32-bit Windows has one registry view: both bits open the same key.
    const std::wstring native = L"\\REGISTRY\\MACHINE\\SOFTWARE\\" + leaf;
    const Case cases[] = {
        {KEY_WOW64_32KEY,
         IsWin64() ? L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432NODE\\" + leaf : native},
        {KEY_WOW64_64KEY, native},
    };
    for (const Case& c : cases) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, ScratchPath().c_str(), 0,
                                               KEY_READ | c.view, &key));
        std::wstring name = GetKeyNameFromHandle(key);
        RegCloseKey(key);
        EXPECT_EQ(0, _wcsicmp(c.expectedTail.c_str(), name.c_str()))
            << std::string(name.begin(), name.end());
    }
    EXPECT_EQ(L"", GetKeyNameFromHandle(nullptr));
}

TEST_F(SecurityKeys, NativeNameOfADeepKeyComesBackWhole)
{
    // 20 levels of 100 characters: about 4 KB of name, more than the first buffer.
    std::wstring relative;
    for (int level = 0; level < 20; ++level) {
        std::wstring part(100, static_cast<wchar_t>(L'a' + level));
        relative += (relative.empty() ? L"" : L"\\") + part;
    }
    HKEY deep = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(hkcu_, relative.c_str(), 0, nullptr, 0, KEY_READ,
                                             nullptr, &deep, nullptr));
    std::wstring name = GetKeyNameFromHandle(deep);
    RegCloseKey(deep);
    const std::wstring tail = L"\\" + ScratchPath() + L"\\" + relative;
    ASSERT_GE(name.size(), tail.size());
    EXPECT_EQ(0, _wcsicmp(tail.c_str(), name.c_str() + name.size() - tail.size()));
    EXPECT_EQ(0, _wcsnicmp(L"\\REGISTRY\\USER\\", name.c_str(), 15));
}

// ---------------------------------------------------------------------------
// Processes and tokens

// ---------------------------------------------------------------------------
// Trust in what the elevated program reads

TEST(SecurityTrust, OnlyAdministratorsMayChangeWhatIsTrusted)
{
    const struct {
        const char* name;
        const char* sddl;
        bool trusted;
    } cases[] = {
        {"Administrators owner, users read", "O:BAD:(A;;FA;;;BA)(A;;FA;;;SY)(A;;FR;;;BU)", true},
        {"SYSTEM owner", "O:SYD:(A;;FA;;;SY)(A;;0x1200a9;;;WD)", true},
        {"TrustedInstaller owner",
         "O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:(A;;FA;;;BA)", true},
        {"inherit-only CREATOR OWNER", "O:BAD:(A;;FA;;;BA)(A;OICIIO;GA;;;CO)(A;;FR;;;BU)", true},
        {"a deny entry", "O:BAD:(A;;FA;;;BA)(D;;FA;;;BU)", true},
        {"users write", "O:BAD:(A;;FA;;;BA)(A;;FW;;;BU)", false},
        {"users append", "O:BAD:(A;;FA;;;BA)(A;;0x4;;;BU)", false},
        {"users delete", "O:BAD:(A;;FA;;;BA)(A;;SD;;;BU)", false},
        {"users change permissions", "O:BAD:(A;;FA;;;BA)(A;;WD;;;BU)", false},
        {"users take ownership", "O:BAD:(A;;FA;;;BA)(A;;WO;;;BU)", false},
        {"Everyone GENERIC_ALL", "O:BAD:(A;;FA;;;BA)(A;;GA;;;WD)", false},
        {"Everyone GENERIC_WRITE", "O:BAD:(A;;GW;;;WD)", false},
        {"CREATOR OWNER on the object itself", "O:BAD:(A;;FA;;;CO)", false},
        {"a user owner", "O:BUD:(A;;FA;;;BA)", false},
        {"Everyone owner", "O:WDD:(A;;FA;;;BA)", false},
        {"no owner", "D:(A;;FA;;;BA)", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(c.sddl, SDDL_REVISION_1,
                                                                         &descriptor, nullptr));
        EXPECT_EQ(c.trusted, IsTrustedDescriptor(descriptor));
        LocalFree(descriptor);
    }
    EXPECT_FALSE(IsTrustedDescriptor(nullptr));

    // A NULL DACL lets everyone do everything.
    SECURITY_DESCRIPTOR nullDacl{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION));
    PSID administrators = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidA("S-1-5-32-544", &administrators));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&nullDacl, administrators, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE));
    EXPECT_FALSE(IsTrustedDescriptor(&nullDacl));
    // An empty one lets nobody in.
    ACL empty{};
    ASSERT_TRUE(InitializeAcl(&empty, sizeof empty, ACL_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&nullDacl, TRUE, &empty, FALSE));
    EXPECT_TRUE(IsTrustedDescriptor(&nullDacl));
    LocalFree(administrators);

    // The account that owns what this elevated program makes counts as an
    // administrator (Wine gives every file its one account; Windows makes
    // such files Administrators' own).
    const std::string own = OwnFilesOwnerSid();
    ASSERT_FALSE(own.empty()) << "the test runs elevated";
    for (const auto& [sddl, trusted] : std::vector<std::pair<std::string, bool>>{
             {"O:" + own + "D:(A;;FA;;;" + own + ")(A;;FA;;;SY)(A;;0x1200a9;;;WD)", true},
             {"O:" + own + "D:(A;;FA;;;" + own + ")(A;;FW;;;BU)", false},
             {"O:BUD:(A;;FA;;;" + own + ")", false},
         }) {
        SCOPED_TRACE(sddl);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
            sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
        EXPECT_EQ(trusted, IsTrustedDescriptor(descriptor));
        LocalFree(descriptor);
    }
}

TEST(SecurityU, OwnProcess)
{
    char own[MAX_PATH * 2] = {};
    ASSERT_GT(GetModuleFileNameA(nullptr, own, sizeof(own)), 0u);
    EXPECT_EQ(0, _stricmp(own, GetProcessImagePath(GetCurrentProcessId()).c_str()));
    EXPECT_EQ("", GetProcessImagePath(0xFFFFFFF0));
    // Under Wine every process is elevated at high integrity.
    EXPECT_EQ(0x3000u, GetProcessIntegrityLevel(GetCurrentProcess()));
    EXPECT_TRUE(IsProcessElevated());
    EXPECT_EQ(0u, GetProcessIntegrityLevel(nullptr));

    DWORD session = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
    EXPECT_EQ(session, GetProcessSessionId(GetCurrentProcessId()));
    EXPECT_EQ(session, GetActiveConsoleSessionId()); // one session under Wine

    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    std::string sid = TokenUserSidString(token);
    CloseHandle(token);
    EXPECT_EQ(0u, sid.rfind("S-1-5-", 0)) << sid;
}

KTEST_ROLE(linger)
{
    Sleep(30000);
    return 0;
}

class SecurityProcesses : public ktest::ScratchDirTest {};

TEST_F(SecurityProcesses, FindProcessInSessionByNameIgnoringCase)
{
    const std::wstring exeName = L"korvfind" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    const std::wstring exePath = dir_ + exeName;
    ASSERT_TRUE(CopyFileW(ktest::ProgramPath().c_str(), exePath.c_str(), FALSE));
    std::wstring cmd = L"\"" + exePath + L"\" --role=linger";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(exePath.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &si, &pi));
    std::string upper = "KORVFIND" + std::to_string(GetCurrentProcessId()) + ".EXE";
    DWORD session = GetProcessSessionId(GetCurrentProcessId());

    EXPECT_EQ(pi.dwProcessId, FindProcessInSession(upper, session));
    EXPECT_EQ(pi.dwProcessId, FindProcessInSession(upper, kConsoleSession));
    EXPECT_EQ(kNoProcess, FindProcessInSession(upper, session + 5));
    EXPECT_EQ(kNoProcess, FindProcessInSession("korvelle-no-such-program.exe", session));

    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(kNoProcess, FindProcessInSession(upper, session));
}

// ---------------------------------------------------------------------------
// Starting without elevation: the decisions, through the seams

struct StartLog {
    int plainStarts = 0;
    int tokenStarts = 0;
    std::vector<DWORD> searchedSessions;
    std::wstring commandLine;
    DWORD startFlags = 0;
    WORD showWindow = 0;
    TOKEN_TYPE tokenType = TokenImpersonation;
    HANDLE childProcess = nullptr;
    HANDLE childThread = nullptr;
};

// Gives the fake child real handles, so that closing them can be checked.
void FakeChild(StartLog& log, PROCESS_INFORMATION& pi)
{
    DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &pi.hProcess, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &pi.hThread, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
    log.childProcess = pi.hProcess;
    log.childThread = pi.hThread;
}

bool HandleIsOpen(HANDLE h)
{
    DWORD flags = 0;
    return h && GetHandleInformation(h, &flags);
}

TUnelevatedStartSeams MakeSeams(StartLog& log, DWORD integrity, DWORD ownSession, DWORD shellPid)
{
    TUnelevatedStartSeams seams;
    seams.VistaOrLater = [] { return true; };
    seams.OwnIntegrityLevel = [integrity] { return integrity; };
    seams.OwnSessionId = [ownSession] { return ownSession; };
    seams.FindProcess = [&log, shellPid](const std::string& exe, DWORD session) {
        EXPECT_EQ("explorer.exe", exe);
        log.searchedSessions.push_back(session);
        return shellPid;
    };
    seams.CreateProcess = [&log](LPWSTR cmd, STARTUPINFOW& si, PROCESS_INFORMATION& pi) {
        ++log.plainStarts;
        log.commandLine = cmd;
        log.startFlags = si.dwFlags;
        log.showWindow = si.wShowWindow;
        FakeChild(log, pi);
        return TRUE;
    };
    seams.CreateProcessWithToken = [&log](HANDLE token, LPWSTR cmd, STARTUPINFOW& si,
                                          PROCESS_INFORMATION& pi) {
        ++log.tokenStarts;
        log.commandLine = cmd;
        log.startFlags = si.dwFlags;
        log.showWindow = si.wShowWindow;
        DWORD size = 0;
        GetTokenInformation(token, TokenType, &log.tokenType, sizeof(log.tokenType), &size);
        FakeChild(log, pi);
        return TRUE;
    };
    return seams;
}

class SecurityStartSeams : public ::testing::Test {
protected:
    void TearDown() override { SetUnelevatedStartSeams({}); }
};

TEST_F(SecurityStartSeams, Decisions)
{
    // The "shell" is this process itself: its token opens and duplicates.
    const DWORD self = GetCurrentProcessId();
    const std::string otherUser = "S-1-5-21-1111111111-2222222222-3333333333-1001";
    struct Case {
        const char* name;
        bool vista;
        DWORD integrity;
        DWORD ownSession;
        DWORD consoleSession;
        DWORD shellPid;
        bool shellIsOtherUser;
        bool expected;
        int plainStarts;
        int tokenStarts;
    };
    const Case cases[] = {
        {"medium integrity starts directly", true, 0x2000, 1, 1, self, false, true, 1, 0},
        {"low integrity starts directly", true, 0x1000, 1, 1, self, false, true, 1, 0},
        {"before VISTA starts directly", false, 0x3000, 1, 1, self, false, true, 1, 0},
        {"high without a shell starts nothing", true, 0x3000, 1, 1, kNoProcess, false, false, 0, 0},
        {"high with the own user's shell", true, 0x3000, 1, 1, self, false, true, 0, 1},
        {"console session 7, own 1", true, 0x3000, 1, 7, self, false, true, 0, 1},
        {"the shell is another user's", true, 0x3000, 1, 1, self, true, false, 0, 0},
        {"unknown integrity is not proof of medium", true, 0, 1, 1, kNoProcess, false, false, 0, 0},
        {"own session unknown", true, 0x3000, 0xFFFFFFFF, 1, self, false, false, 0, 0},
    };
    for (const Case& c : cases) {
        StartLog log;
        TUnelevatedStartSeams seams = MakeSeams(log, c.integrity, c.ownSession, c.shellPid);
        seams.VistaOrLater = [v = c.vista] { return v; };
        seams.ConsoleSessionId = [s = c.consoleSession] { return s; };
        if (c.shellIsOtherUser)
            seams.TokenUserSid = [otherUser](HANDLE) { return otherUser; };
        SetUnelevatedStartSeams(seams);

        const std::wstring cmd = L"\"C:\\Program Files\\Korvelle\\Lindova.exe\" /startup";
        EXPECT_EQ(c.expected, StartProcessUnelevated(cmd)) << c.name;
        EXPECT_EQ(c.plainStarts, log.plainStarts) << c.name;
        EXPECT_EQ(c.tokenStarts, log.tokenStarts) << c.name;
        if (log.plainStarts + log.tokenStarts > 0) {
            EXPECT_EQ(cmd, log.commandLine) << c.name;
            EXPECT_EQ(static_cast<DWORD>(STARTF_USESHOWWINDOW), log.startFlags) << c.name;
            EXPECT_EQ(SW_SHOWNORMAL, log.showWindow) << c.name;
            EXPECT_FALSE(HandleIsOpen(log.childProcess)) << c.name << ": child handle left open";
            EXPECT_FALSE(HandleIsOpen(log.childThread)) << c.name << ": thread handle left open";
        }
        if (log.tokenStarts > 0) {
            EXPECT_EQ(TokenPrimary, log.tokenType) << c.name;
        }
        for (DWORD searched : log.searchedSessions) {
            EXPECT_EQ(c.ownSession, searched) << c.name << ": searched another session";
        }
        if (c.integrity > 0x2000 && c.vista && c.ownSession != 0xFFFFFFFF) {
            EXPECT_EQ(1u, log.searchedSessions.size()) << c.name;
        }
    }
}

TEST_F(SecurityStartSeams, AFailedTokenStartIsNotRetriedPlainly)
{
    StartLog log;
    TUnelevatedStartSeams seams = MakeSeams(log, 0x3000, 1, GetCurrentProcessId());
    seams.CreateProcessWithToken = [&log](HANDLE, LPWSTR, STARTUPINFOW&, PROCESS_INFORMATION&) {
        ++log.tokenStarts;
        return FALSE;
    };
    SetUnelevatedStartSeams(seams);
    EXPECT_FALSE(StartProcessUnelevated(L"x.exe"));
    EXPECT_EQ(1, log.tokenStarts);
    EXPECT_EQ(0, log.plainStarts);
}

// ---------------------------------------------------------------------------
// Starting without elevation for real, with Wine's desktop shell

KTEST_ROLE(report_token)
{
    // args[0]: the file that gets "<session>\n<user SID>".
    if (args.empty())
        return 2;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 3;
    std::string text = std::to_string(GetProcessSessionId(GetCurrentProcessId())) + "\n" +
                       TokenUserSidString(token);
    CloseHandle(token);
    HANDLE file =
        CreateFileW(args[0].c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 4;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return 0;
}

// Run by the desktop run (under Xvfb), where Wine's shell can start.
class SecurityProcessesDesktop : public ktest::ScratchDirTest {};

TEST_F(SecurityProcessesDesktop, StartsWithTheShellsTokenForReal)
{
    if (!std::getenv("DISPLAY"))
        GTEST_SKIP() << "needs an X display, where Wine runs its desktop shell (./test.sh runs "
                        "the desktop tests under Xvfb)";
    const DWORD session = GetProcessSessionId(GetCurrentProcessId());
    // Wine starts its desktop shell once a window exists, given a display.
    HWND window = CreateWindowExW(0, L"STATIC", L"korvelle shell probe", WS_OVERLAPPEDWINDOW, 0, 0,
                                  100, 100, nullptr, nullptr, nullptr, nullptr);
    DWORD shell = kNoProcess;
    for (int i = 0; i < 200 && shell == kNoProcess; ++i) {
        shell = FindProcessInSession("explorer.exe", session);
        if (shell == kNoProcess)
            Sleep(100);
    }
    if (window)
        DestroyWindow(window);
    ASSERT_NE(kNoProcess, shell) << "no explorer.exe in this session";

    const std::wstring out = dir_ + L"token.txt";
    const std::wstring cmd =
        L"\"" + ktest::ProgramPath() + L"\" --role=report_token \"" + out + L"\"";
    ASSERT_TRUE(StartProcessUnelevated(cmd));
    // The child's handles are closed: done once its file opens unshared.
    std::string text;
    for (int i = 0; i < 600; ++i) {
        HANDLE file = CreateFileW(out.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            text = ktest::ReadFileBytes(out);
            if (text.find('\n') != std::string::npos)
                break;
        }
        Sleep(50);
    }
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    const std::string expected = std::to_string(session) + "\n" + TokenUserSidString(token);
    CloseHandle(token);
    EXPECT_EQ(expected, text);
}

} // namespace
