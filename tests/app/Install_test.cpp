// "/INSTALL" and "/UNINSTALL": the keys and their security, the values, the
// folders with the rights they are made with, the tray registered and
// started after its folders exist, and everything gone again.

#include "AppTest.h"

#include "engine/qvStartup.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/SecurityU.h"
#include "platform/SysUtilsU.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

using namespace apptest;

namespace {

struct TRecordedCall {
    std::string api, path;
    bool world = false;     // the DACL grants the world group something
    bool protectedDacl = false;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
};

std::mutex gCallsLock;
std::vector<TRecordedCall> gCalls;

bool WorldInDacl(PACL Dacl)
{
    if (!Dacl)
        return false;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    bool found = false;
    for (DWORD i = 0; i < Dacl->AceCount && !found; ++i) {
        void* ace = nullptr;
        if (GetAce(Dacl, i, &ace) &&
            static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE)
            found = EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, everyone) != FALSE;
    }
    FreeSid(everyone);
    return found;
}

void Describe(PSECURITY_DESCRIPTOR Descriptor, bool& World, bool& Protected)
{
    World = false;
    Protected = false;
    if (!Descriptor)
        return;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (GetSecurityDescriptorDacl(Descriptor, &present, &dacl, &defaulted) && present)
        World = WorldInDacl(dacl);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorControl(Descriptor, &control, &revision))
        Protected = (control & SE_DACL_PROTECTED) != 0;
}

void Recorder(const TSecurityCall& Call)
{
    TRecordedCall call{Call.Api, Call.Path};
    Describe(Call.Descriptor, call.world, call.protectedDacl);
    call.descriptor = Call.Descriptor;
    std::lock_guard lock(gCallsLock);
    gCalls.push_back(call);
}

class Install : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        if (HasFatalFailure())
            return;
        {
            std::lock_guard lock(gCallsLock);
            gCalls.clear();
        }
        SetSecurityRecorder(&Recorder);
        // The tray starts as the desktop's user would: recorded, with the
        // folders as they are at that moment.
        TUnelevatedStartSeams start;
        start.OwnIntegrityLevel = [] { return DWORD{0x2000}; };
        start.CreateProcess = [this](LPWSTR CommandLine, STARTUPINFOW&, PROCESS_INFORMATION&) {
            trayStarts_.push_back(Narrow(CommandLine));
            foldersAtStart_ = AllFoldersExist();
            return FALSE;
        };
        SetUnelevatedStartSeams(start);
        ASSERT_TRUE(CopyFileA((TestDir() + "ktest_faketray.exe").c_str(),
                              folders_.TrayExePath.c_str(), FALSE));
        ASSERT_TRUE(WriteText(folders_.MainExePath, "program"));
    }
    void TearDown() override
    {
        SetSecurityRecorder(nullptr);
        SetUnelevatedStartSeams({});
        {
            TRegViewScope view(true, false);
            RegRemoveValue(HKEY_LOCAL_MACHINE, kRunKeyName, kAutostartValueName);
        }
        AppFixture::TearDown();
    }
    std::vector<const std::string*> Folders() const
    {
        return {&folders_.CommonDataDir, &folders_.UserDataDir,     &folders_.BackupDir,
                &folders_.CommonStartupDir, &folders_.UserStartupDir, &folders_.UpdateDir};
    }
    bool AllFoldersExist() const
    {
        for (const std::string* dir : Folders())
            if (!DirectoryExistsEx(*dir))
                return false;
        return true;
    }
    // reg.exe's export of a key in the 32-bit view, without the lines that
    // hold a value named Skip.
    std::string Export(const std::string& Root, const std::string& Skip)
    {
        const std::string file = dir_ + "export.reg";
        DeleteFileA(file.c_str());
        TProgram reg("C:\\windows\\system32\\reg.exe",
                     "export \"" + Root + "\\" + Key() + "\" \"" + file + "\" /y /reg:32");
        EXPECT_TRUE(reg.Wait(30000));
        // reg.exe writes UTF-16 with a byte-order mark.
        std::string bytes = ktest::ReadFileBytes(Widen(file));
        if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
            std::wstring wide((bytes.size() - 2) / 2, L'\0');
            memcpy(wide.data(), bytes.data() + 2, wide.size() * 2);
            bytes = Narrow(wide);
        }
        WriteText(file, bytes);
        std::string out;
        bool skipping = false;
        for (const std::string& line : ReadLines(file)) {
            if (!line.empty() && line[0] == '"') {
                skipping = line.rfind("\"" + Skip + "\"=", 0) == 0;
                if (skipping)
                    continue;
            } else if (skipping && !line.empty() && line[0] == ' ') {
                continue; // the rest of a long binary value
            } else {
                skipping = false;
            }
            out += line + "\n";
        }
        return out;
    }
    std::vector<TRecordedCall> Calls()
    {
        std::lock_guard lock(gCallsLock);
        return gCalls;
    }
    const TRecordedCall* LastCall(const char* Api, const std::string& Path)
    {
        const TRecordedCall* found = nullptr;
        std::lock_guard lock(gCallsLock);
        for (const TRecordedCall& call : gCalls)
            if (call.api == Api && SameText(ExcludeTrailingBackslash(call.path),
                                            ExcludeTrailingBackslash(Path)))
                found = &call;
        return found;
    }
    std::vector<std::string> trayStarts_;
    bool foldersAtStart_ = false;
};

TEST_F(Install, TwiceGivesTheSameKeysButTheDateAndKeepsTheUserValues)
{
    const TDateTime lastUpdate = 44000.5;
    {
        TProgramKeyView view;
        ASSERT_TRUE(RegWriteDateTime(HKEY_CURRENT_USER, Key(), "LAST_UPDATE", lastUpdate));
    }
    InstallProgram();
    std::string uid;
    {
        TProgramKeyView view;
        ASSERT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, Key(), "UID", uid));
        EXPECT_TRUE(RegValueExists(HKEY_LOCAL_MACHINE, Key(), "INSTALL"));
        EXPECT_DOUBLE_EQ(lastUpdate, RegReadDateTime(HKEY_CURRENT_USER, Key(), "LAST_UPDATE"));
        std::string language;
        EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, Key(), "LANGUAGE", language));
        std::string show;
        EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, Key(), "SHOW_TRAY", show));
        EXPECT_EQ("1", show);
    }
    EXPECT_EQ(std::string::npos, uid.find_first_not_of("0123456789"));
    const std::string hklm = Export("HKLM", "INSTALL"), hkcu = Export("HKCU", "INSTALL");
    ASSERT_NE(std::string::npos, hklm.find("\"UID\"=\"" + uid + "\""));

    Sleep(20);
    InstallProgram();
    EXPECT_EQ(hklm, Export("HKLM", "INSTALL"));
    EXPECT_EQ(hkcu, Export("HKCU", "INSTALL"));
}

TEST_F(Install, NewUserGetsALastUpdateTwoDaysBack)
{
    InstallProgram();
    TProgramKeyView view;
    const TDateTime installed = RegReadDateTime(HKEY_LOCAL_MACHINE, Key(), "INSTALL");
    EXPECT_NEAR(installed - 2.0, RegReadDateTime(HKEY_CURRENT_USER, Key(), "LAST_UPDATE"), 0.001);
}

TEST_F(Install, TrayRegisteredAndStartedAfterItsFolders)
{
    InstallProgram();
    std::string run;
    {
        TRegViewScope view(true, false);
        ASSERT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, kRunKeyName, kAutostartValueName, run));
    }
    EXPECT_EQ("\"" + folders_.TrayExePath + "\" /startup", run);
    EXPECT_TRUE(AllFoldersExist());
    ASSERT_EQ(1u, trayStarts_.size());
    EXPECT_EQ("\"" + folders_.TrayExePath + "\"", trayStarts_[0]);
    EXPECT_TRUE(foldersAtStart_);
    EXPECT_NE(0, GlobalFindAtomA(kProductName));
}

TEST_F(Install, ProtectedRightsForWhatTheElevatedProgramTrusts)
{
    InstallProgram();
    const void* protectedDescriptor = GetProtectedSecurityAttributes()->lpSecurityDescriptor;
    struct TFolder {
        const std::string* dir;
        bool shared;
    };
    const TFolder folders[] = {
        {&folders_.CommonDataDir, false},  {&folders_.BackupDir, false},
        {&folders_.CommonStartupDir, false}, {&folders_.UpdateDir, false},
        {&folders_.UserDataDir, true},      {&folders_.UserStartupDir, true},
    };
    for (const TFolder& folder : folders) {
        SCOPED_TRACE(*folder.dir);
        const TRecordedCall* call = LastCall("CreateDirectoryA", *folder.dir);
        ASSERT_NE(nullptr, call);
        EXPECT_EQ(folder.shared, call->world);
        if (!folder.shared) {
            EXPECT_EQ(protectedDescriptor, call->descriptor);
            EXPECT_TRUE(call->protectedDacl);
        }
    }
    for (const std::string* path : {&folders_.ProgramDir, &folders_.MainExePath, &folders_.TrayExePath}) {
        SCOPED_TRACE(*path);
        const TRecordedCall* call = LastCall("SetNamedSecurityInfoA", *path);
        ASSERT_NE(nullptr, call);
        EXPECT_EQ(protectedDescriptor, call->descriptor);
        EXPECT_FALSE(call->world);
    }
    // The key itself, read back.
    TRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, Key().c_str(), 0,
                                           READ_CONTROL | KEY_WOW64_32KEY, key.put()));
    TSecurityDescriptorPtr descriptor =
        RegGetKeySecurityDescriptor(key.get(), DACL_SECURITY_INFORMATION);
    ASSERT_TRUE(descriptor);
    bool world = true, isProtected = false;
    Describe(descriptor.get(), world, isProtected);
    EXPECT_FALSE(world);
}

TEST_F(Install, UninstallTakesEverythingAwayAndPutsPostponedProgramsBack)
{
    InstallProgram();
    // Something of every kind that the uninstall removes.
    ASSERT_TRUE(WriteText(folders_.BackupDir + "fix_20240101_000000.xml", "<backup />"));
    ASSERT_TRUE(WriteText(folders_.UpdateDir + "part.cab", "cab"));
    for (const char* name : {"Korvelle.old", "Lindova.old", "Korvelle.new", "Lindova.new"})
        ASSERT_TRUE(WriteText(folders_.ProgramDir + name, name));
    const std::string postponed = "KvUninstall" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(WriteText(folders_.CommonDataDir + kStartupFileName,
                          "<startup>\r\n    <run app=\"a\" name=\"" + postponed +
                              "\" value=\"C:\\kv\\a.exe\" priority=\"1\" />\r\n</startup>\r\n"));
    TProgram tray(folders_.TrayExePath, "");
    ASSERT_TRUE(tray.Started());
    ASSERT_TRUE(PumpUntil([] { return FindWindowA(kTrayWindowClassName, nullptr) != nullptr; }, 10000));

    UninstallProgram();
    EXPECT_TRUE(tray.Wait(10000)) << "the tray did not stop";
    {
        TRegViewScope view(true, false);
        EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, Key()));
        EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, Key()));
        EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, kRunKeyName, kAutostartValueName));
        std::string value;
        EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, kRunKeyName, postponed, value));
        EXPECT_EQ("C:\\kv\\a.exe", value);
        RegRemoveValue(HKEY_LOCAL_MACHINE, kRunKeyName, postponed);
    }
    for (const std::string* dir : {&folders_.CommonDataDir, &folders_.UserDataDir, &folders_.UpdateDir})
        EXPECT_FALSE(DirectoryExistsEx(*dir)) << *dir;
    for (const char* name : {"Korvelle.old", "Lindova.old", "Korvelle.new", "Lindova.new"})
        EXPECT_FALSE(FileExistsEx(folders_.ProgramDir + name)) << name;
    EXPECT_TRUE(FileExistsEx(folders_.MainExePath));
}

} // namespace
