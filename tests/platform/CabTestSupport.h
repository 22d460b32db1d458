#pragma once
// Cabinet fixtures made by the tests themselves: a byte-level generator of
// uncompressed cabinets (any name, any date, a header that lies), and
// cabinets and cabinet sets written with FCI directly, independent of the
// writer under test.

#include <windows.h>
#include <fci.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cabtest {

// A DOS date and time.
constexpr uint16_t DosDate(int year, int month, int day)
{
    return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}
constexpr uint16_t DosTime(int hour, int minute, int second)
{
    return static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

struct TEntry {
    std::string Name;
    std::string Data;
    uint16_t Date = DosDate(2024, 1, 15);
    uint16_t Time = DosTime(12, 0, 0);
    uint16_t Attributes = FILE_ATTRIBUTE_ARCHIVE;
};

// An uncompressed cabinet: header (36 bytes), one folder (8), the entries
// (16 + name + NUL each), the data blocks (8 + up to 32768 bytes each),
// checksums 0.
std::string MakeCabinet(const std::vector<TEntry>& Entries);

// Offsets of the header fields the hostile tests change.
inline constexpr size_t kHeaderSize = 36;
inline constexpr size_t kFilesOffsetField = 16;
inline constexpr size_t kFileCountField = 28;

struct TFciFile {
    std::string Source; // path of the file to store; '' ends the cabinet, the set goes on
    std::string Name;   // name in the cabinet
};

// Writes the files with FCI into Folder: one cabinet named by printf-style
// NameTemplate ("set%d.cab", numbered from 1) per MaxCabinetSize bytes.
// Returns the cabinet paths in order; empty when FCI failed.
std::vector<std::string> MakeCabinetsWithFCI(const std::string& Folder,
                                             const std::string& NameTemplate,
                                             const std::vector<TFciFile>& Files,
                                             ULONG MaxCabinetSize, TCOMP Compression);

// Deterministic bytes that do not compress.
std::string Noise(size_t Size, unsigned Seed);
// A whole file (ktest::ReadFileBytes on an ANSI path), or '' when it cannot
// be opened.
std::string ReadAll(const std::string& Path);
bool WriteAll(const std::string& Path, const std::string& Bytes);

} // namespace cabtest
