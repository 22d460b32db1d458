#pragma once
// The missing-files group's lists as the built-in catalogue holds them, for
// the scanner's tests and for its benchmark, which links no test support.

#include <span>
#include <string>

namespace stest {

inline constexpr const char* kMissingFilesRoots[] = {"HKCU", "HKLM"};
inline constexpr const char* kMissingFilesIgnored[] = {
    "SOFTWARE\\Microsoft",
    "SOFTWARE\\Classes\\CLSID",
    "SOFTWARE\\Classes\\Wow6432Node\\CLSID",
    "SOFTWARE\\Classes\\TypeLib",
    "SOFTWARE\\Classes\\Wow6432Node\\TypeLib",
    "SOFTWARE\\Classes\\Interface",
    "SOFTWARE\\Classes\\Wow6432Node\\Interface",
    "SOFTWARE\\Wow6432Node",
    "SOFTWARE\\Classes\\Wow6432Node\\VirtualStore\\MACHINE",
    "SOFTWARE\\Classes\\Wow6432Node\\Wow6432Node",
    "SOFTWARE\\Classes\\VirtualStore\\MACHINE"};
inline constexpr const char* kMissingFilesSpecial[] = {
    "SOFTWARE\\Microsoft\\Installer", "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"};

// The group's items element: ScanKey under each root as the scan list, and
// the catalogue's ignore, special and except lists.
inline std::string MissingFilesItems(const std::string& ScanKey = "SOFTWARE")
{
    auto items = [](std::span<const char* const> Keys) {
        std::string s;
        for (const char* root : kMissingFilesRoots)
            for (const char* key : Keys)
                s += std::string("<item root=\"") + root + "\" key=\"" + key + "\"/>";
        return s;
    };
    const char* const scan[] = {ScanKey.c_str()};
    return "<items type=\"missing-files\"><scanlist>" + items(scan) + "</scanlist><ignorelist>" +
           items(kMissingFilesIgnored) + "</ignorelist><speciallist>" +
           items(kMissingFilesSpecial) +
           "</speciallist><exceptlist><item key=\"\\Control\\CrashControl\" value=\"DumpFile\"/>"
           "</exceptlist></items>";
}

} // namespace stest
