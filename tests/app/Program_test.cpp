// Korvelle.exe as built: the resources its units and the tray read out of
// it, and its version, which follows the translation table.

#include "AppTest.h"

#include "platform/FileResourceU.h"
#include "platform/FileVersionU.h"

#include <gtest/gtest.h>

using namespace apptest;

namespace {

TEST(Program, CarriesItsTablesCatalogueManifestAndVersion)
{
    const std::string exe = TestDir() + "Korvelle.exe";
    HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module) << exe;
    struct TResource {
        const wchar_t* name;
        LPCWSTR type;
    };
    const TResource resources[] = {
        {L"CONFIG", RT_RCDATA}, {L"TRANSLATE", RT_RCDATA}, {L"DATA", RT_RCDATA},
        {L"LOGO_XP", RT_RCDATA}, {L"MAINICON", RT_GROUP_ICON},
        {MAKEINTRESOURCEW(1), RT_MANIFEST}, {MAKEINTRESOURCEW(1), RT_VERSION},
    };
    for (const TResource& r : resources) {
        SCOPED_TRACE(IS_INTRESOURCE(r.name) ? L"#1" : r.name);
        EXPECT_NE(nullptr, FindResourceW(module, r.name, r.type));
    }
    // The same tables as the test program's own copy of them.
    for (const char* name : {"CONFIG", "TRANSLATE", "DATA"}) {
        std::string built, own;
        EXPECT_TRUE(ReadResourceText(module, name, built)) << name;
        EXPECT_TRUE(ReadResourceText(nullptr, name, own)) << name;
        EXPECT_EQ(own, built) << name;
    }
    FreeLibrary(module);
    EXPECT_EQ(KORV_EXPECTED_VERSION, GetFileVersionString(exe));
    EXPECT_EQ(KORV_EXPECTED_VERSION, TFileVersion(exe).GetStringValue("FileVersion"));
}

} // namespace
