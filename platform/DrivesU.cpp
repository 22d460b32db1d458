#include "platform/DrivesU.h"

#include "platform/SysUtilsU.h"

#include <atomic>

namespace {

std::atomic<TDriveMaskSource> g_maskSource{nullptr};

} // namespace

TDriveMaskSource SetDriveMaskSource(TDriveMaskSource Source) noexcept
{
    return g_maskSource.exchange(Source);
}

TDriveInfo::TDriveInfo(char Letter) : letter_(UpperCase(std::string(1, Letter))[0]) {}

std::string TDriveInfo::RootPath() const
{
    return std::string(1, letter_) + ":\\";
}

int TDriveInfo::DriveType() const
{
    return static_cast<int>(GetDriveTypeA(RootPath().c_str()));
}

TLogicalDrives::TLogicalDrives()
{
    const TDriveMaskSource source = g_maskSource.load();
    const DWORD mask = source ? source() : GetLogicalDrives();
    constexpr int kLetters = 26; // bits above "Z" name no drive
    for (int bit = 0; bit < kLetters; ++bit)
        if (mask & (DWORD{1} << bit))
            items_.push_back(std::make_unique<TDriveInfo>(static_cast<char>('A' + bit)));
}

TDriveInfo* TLogicalDrives::GetItem(int Index) const noexcept
{
    if (Index < 0 || Index >= Count())
        return nullptr;
    return items_[static_cast<size_t>(Index)].get();
}
