#include "platform/DrivesU.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

DWORD g_mask = 0;

std::vector<std::string> AllRoots()
{
    std::vector<std::string> roots;
    for (char letter = 'A'; letter <= 'Z'; ++letter)
        roots.push_back(std::string(1, letter) + ":\\");
    return roots;
}

DWORD FakeMask()
{
    return g_mask;
}

// Puts a fixed mask behind TLogicalDrives for one test.
class DrivesU : public ::testing::Test {
protected:
    void SetUp() override { previous_ = SetDriveMaskSource(&FakeMask); }
    void TearDown() override { SetDriveMaskSource(previous_); }

    static std::vector<std::string> Roots(const TLogicalDrives& drives)
    {
        std::vector<std::string> roots;
        for (int i = 0; i < drives.Count(); ++i)
            roots.push_back(drives.GetItem(i)->RootPath());
        return roots;
    }

private:
    TDriveMaskSource previous_ = nullptr;
};

} // namespace

TEST_F(DrivesU, MaskBitsGiveRootsInLetterOrder)
{
    struct Case {
        const char* name;
        DWORD mask;
        std::vector<std::string> roots;
    };
    const Case cases[] = {
        {"A, C and D", 0x1 | 0x4 | 0x8, {"A:\\", "C:\\", "D:\\"}},
        {"none", 0, {}},
        {"Z alone", 1u << 25, {"Z:\\"}},
        {"A to Z", 0x03FFFFFF, AllRoots()},
        // Bits above Z name no drive and are ignored.
        {"bits above Z", 0xFC000000 | 0x4, {"C:\\"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_mask = c.mask;
        TLogicalDrives drives;
        EXPECT_EQ(c.roots, Roots(drives));
    }
}

TEST_F(DrivesU, ListIsASnapshotAndOutOfRangeGivesNone)
{
    g_mask = 0x1 | 0x4 | 0x8;
    TLogicalDrives drives;
    g_mask = 0x4 | 0x10 | 0x20;
    EXPECT_EQ((std::vector<std::string>{"A:\\", "C:\\", "D:\\"}), Roots(drives));
    EXPECT_EQ(nullptr, drives.GetItem(drives.Count()));
    EXPECT_EQ(nullptr, drives.GetItem(-1));
    EXPECT_EQ((std::vector<std::string>{"C:\\", "E:\\", "F:\\"}), Roots(TLogicalDrives()));
}

TEST_F(DrivesU, LetterIsStoredUpperCased)
{
    TDriveInfo lower('d');
    EXPECT_EQ('D', lower.Letter());
    EXPECT_EQ("D:\\", lower.RootPath());
}

// The real list: the test prefixes have drive C only (z: is removed).
TEST(DrivesUReal, ListEqualsTheSystemMask)
{
    const DWORD mask = GetLogicalDrives();
    TLogicalDrives drives;
    DWORD rebuilt = 0;
    for (int i = 0; i < drives.Count(); ++i)
        rebuilt |= DWORD{1} << (drives.GetItem(i)->Letter() - 'A');
    EXPECT_EQ(mask, rebuilt);
    EXPECT_EQ(DWORD{0x4}, mask) << "the test prefix should have drive C only";
    bool sawC = false;
    for (int i = 0; i < drives.Count(); ++i) {
        const TDriveInfo* drive = drives.GetItem(i);
        EXPECT_EQ(static_cast<int>(GetDriveTypeA(drive->RootPath().c_str())), drive->DriveType());
        if (drive->Letter() == 'C') {
            sawC = true;
            EXPECT_EQ(DRIVE_FIXED, drive->DriveType());
        }
    }
    EXPECT_TRUE(sawC);
}
