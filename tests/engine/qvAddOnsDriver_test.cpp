// The add-on repair of old Internet Explorer through the engine's test
// driver: the boost repair deletes the black registrations, its backup holds
// them, and the restore brings them back.
#include "AddOnTestSupport.h"
#include "DriverTest.h"
#include "EngineTest.h"
#include "FakeService.h"
#include "KorvTest.h"
#include "engine/qvAddOnReaders.h"
#include "platform/RegistryU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"

#include <gtest/gtest.h>

namespace {

using atest::kView32;
using atest::kView64;

class AddOnDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Internet Explorer 6 for the driver, in both views.
        ASSERT_TRUE(ieVersion_.Set("6.0.2900.5512", dtest::Views()));
        ASSERT_TRUE(service_.Start());
        RegView32 = true;
        hadUrl_ = RegReadString(HKEY_LOCAL_MACHINE, ProgramKey(), "ADDON_URL", oldUrl_);
        ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, ProgramKey(), "ADDON_URL",
                                   service_.URL("/client.asmx")));
        cache_ = dtest::RealCommonDataDir() + "addons.xml";
        hadCache_ = GetFileAttributesA(cache_.c_str()) != INVALID_FILE_ATTRIBUTES;
        oldCache_ = etest::ReadBytes(cache_);
        // The backup guard removes the folder again when it made it.
        CreateDirectoryA(dtest::RealCommonDataDir().c_str(), nullptr);
    }
    void TearDown() override
    {
        if (hadUrl_)
            RegWriteString(HKEY_LOCAL_MACHINE, ProgramKey(), "ADDON_URL", oldUrl_);
        else
            RegRemoveValue(HKEY_LOCAL_MACHINE, ProgramKey(), "ADDON_URL");
        RegView32 = false;
        if (hadCache_)
            etest::WriteBytes(cache_, oldCache_);
        else
            DeleteFileA(cache_.c_str());
        reg_.RemoveAll();
        ieVersion_.Restore();
        service_.Stop();
    }
    void Register(const std::string& Clsid)
    {
        reg_.String(HKEY_CLASSES_ROOT, "CLSID\\" + Clsid, "", "Old " + Clsid, kView32);
        // A server that exists: the class scanner has nothing to say.
        reg_.String(HKEY_CLASSES_ROOT, "CLSID\\" + Clsid + "\\InprocServer32", "",
                    "C:\\windows\\system32\\shell32.dll", kView32);
    }
    dtest::DriverResult Drive(const std::vector<std::wstring>& Args)
    {
        dtest::DriverResult result = dtest::RunDriver(Args);
        EXPECT_EQ(0u, result.exitCode) << result.out << result.err;
        return result;
    }

    dtest::BackupDirGuard backupDir_;
    atest::RegEntries reg_;
    fakeservice::TFakeService service_;
    atest::IEVersionScope ieVersion_;
    bool hadUrl_ = false;
    std::string oldUrl_;
    std::string cache_;
    bool hadCache_ = false;
    std::string oldCache_;
};

TEST_F(AddOnDriver, OldIEBlackAddOnsAreDeletedByTheBoostRepairAndRestored)
{
    const std::string cachedBho = atest::UniqueClsid(0x61);
    const std::string answeredBho = atest::UniqueClsid(0x62);
    const std::string cachedBar = atest::UniqueClsid(0x63);
    const std::string bho = std::string(kIEBHOKey) + "\\";
    for (const std::string& clsid : {cachedBho, answeredBho, cachedBar})
        Register(clsid);
    reg_.Dword(HKEY_LOCAL_MACHINE, bho + cachedBho, "NoExplorer", 1, kView32);
    reg_.Dword(HKEY_LOCAL_MACHINE, bho + answeredBho, "NoExplorer", 1, kView32);
    reg_.String(HKEY_LOCAL_MACHINE, kIEToolbarKey, cachedBar, "", kView32, REG_BINARY);
    ASSERT_TRUE(etest::WriteBytes(
        cache_, "<addons>\r\n  <addon id=\"" + NormalizeAddOnId(cachedBho) +
                    "\" name=\"b\" type=\"B\" />\r\n  <addon id=\"" + NormalizeAddOnId(cachedBar) +
                    "\" name=\"t\" type=\"B\" />\r\n</addons>\r\n"));
    service_.SetBlack(NormalizeAddOnId(answeredBho), "Answered black");

    const std::wstring bhoExport = L"HKLM\\" + WideFromAnsi(kIEBHOKey);
    const std::wstring barExport = L"HKLM\\" + WideFromAnsi(kIEToolbarKey);
    const std::string bhoBefore = dtest::Export(bhoExport, dtest::kView32);
    const std::string barBefore = dtest::Export(barExport, dtest::kView32);
    ASSERT_FALSE(bhoBefore.empty());
    ASSERT_FALSE(barBefore.empty());

    const dtest::DriverResult repair = Drive({L"repair", L"4"});
    EXPECT_NE(std::string::npos, repair.out.find("boost\taddons\tfound=3\t")) << repair.out;
    EXPECT_FALSE(atest::KeyExists(HKEY_LOCAL_MACHINE, bho + cachedBho, kView32));
    EXPECT_FALSE(atest::KeyExists(HKEY_LOCAL_MACHINE, bho + answeredBho, kView32))
        << "the pending item's replacement deletes the key";
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, kIEToolbarKey, cachedBar));
    EXPECT_TRUE(atest::KeyExists(HKEY_LOCAL_MACHINE, kIEToolbarKey, kView32))
        << "only the toolbar's value goes";

    const std::vector<std::string> boost = backupDir_.NewBackups("boost_");
    ASSERT_EQ(1u, boost.size());
    const std::string text = etest::ReadBytes(boost[0]);
    for (const std::string& key : {bho + cachedBho, bho + answeredBho})
        EXPECT_NE(std::string::npos, text.find("key=\"" + key + "\" name=\"\" value=\"\""))
            << key << "\n"
            << text;
    EXPECT_NE(std::string::npos, text.find("name=\"" + cachedBar + "\"")) << text;

    Drive({L"restore", WideFromAnsi(boost[0])});
    EXPECT_EQ(bhoBefore, dtest::Export(bhoExport, dtest::kView32));
    EXPECT_EQ(barBefore, dtest::Export(barExport, dtest::kView32));
}

} // namespace
