#include "platform/IniFileWU.h"

#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"

#include <windows.h>

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

class FileHandle {
public:
    explicit FileHandle(HANDLE h) : h_(h) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle()
    {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
    }
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

// The whole file; empty when it is missing or cannot be read.
std::string ReadWholeFile(const std::wstring& fileName)
{
    if (fileName.empty())
        return {};
    FileHandle file(CreateFileW(fileName.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE)
        return {};
    std::string text;
    char chunk[64 * 1024];
    while (true) {
        DWORD got = 0;
        if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr))
            return {};
        if (got == 0)
            break;
        text.append(chunk, got);
    }
    return text;
}

bool RunsOnNT()
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    // The platform id is what we need, and GetVersionExA reports it truthfully.
    const BOOL ok = GetVersionExA(&info);
#pragma GCC diagnostic pop
    return !ok || info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

} // namespace

TIniFileW::TIniFileW(std::wstring fileName) : fileName_(std::move(fileName)), isNT_(RunsOnNT())
{
    Parse(ReadWholeFile(fileName_));
}

TIniFileW::TIniFileW(std::wstring fileName, std::string_view contents)
    : fileName_(std::move(fileName)), isNT_(RunsOnNT())
{
    Parse(contents);
}

void TIniFileW::Parse(std::string_view text)
{
    if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom)
        text.remove_prefix(kUtf8Bom.size());

    // No section yet, or a repeated one whose lines are ignored.
    constexpr size_t kNone = static_cast<size_t>(-1);
    size_t current = kNone;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view raw = text.substr(pos, end - pos);
        // CR LF leaves an empty line between the two, skipped like any empty line.
        pos = end + 1;

        const std::string line = Trim(raw);
        if (line.empty())
            continue;
        if (line.front() == '[') {
            const size_t close = line.find(']');
            const std::string name = Trim(std::string_view(line).substr(
                1, close == std::string::npos ? std::string::npos : close - 1));
            const std::string folded = AsciiUpperCase(name);
            if (sectionIndex_.count(folded)) {
                current = kNone;
                continue;
            }
            sectionIndex_.emplace(folded, sections_.size());
            current = sections_.size();
            sections_.push_back({name, {}, {}});
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos || current == kNone)
            continue;
        std::string key = Trim(std::string_view(line).substr(0, eq));
        if (key.empty())
            continue;
        std::string folded = AsciiUpperCase(key);
        Section& into = sections_[current];
        if (into.index.count(folded))
            continue;
        into.index.emplace(std::move(folded), into.entries.size());
        into.entries.push_back({std::move(key), Trim(std::string_view(line).substr(eq + 1))});
    }
}

const TIniFileW::Section* TIniFileW::FindSection(std::string_view name) const
{
    if (name.empty())
        return nullptr;
    const auto it = sectionIndex_.find(AsciiUpperCase(name));
    return it == sectionIndex_.end() ? nullptr : &sections_[it->second];
}

std::string TIniFileW::ReadString(std::string_view section, std::string_view ident,
                                  std::string_view def) const
{
    const Section* s = FindSection(section);
    if (!s || ident.empty())
        return std::string(def);
    const auto it = s->index.find(AsciiUpperCase(ident));
    return it == s->index.end() ? std::string(def) : s->entries[it->second].value;
}

std::wstring TIniFileW::ReadWideString(std::wstring_view section, std::wstring_view ident,
                                       std::wstring_view def) const
{
    if (section.empty() || ident.empty())
        return {};
    if (isNT_)
        return Utf8ToWide(ReadString(WideToUtf8(section), WideToUtf8(ident), WideToUtf8(def)));
    return AnsiToWide(ReadString(WideToAnsi(section), WideToAnsi(ident), WideToAnsi(def)));
}

bool TIniFileW::SectionExists(std::string_view section) const
{
    return FindSection(section) != nullptr;
}

void TIniFileW::ReadSection(std::string_view section, TStringList& keys) const
{
    keys.Clear();
    if (const Section* s = FindSection(section)) {
        for (const Entry& e : s->entries)
            keys.Add(e.key);
    }
}

void TIniFileW::ReadSectionValues(std::string_view section, TStringList& lines) const
{
    lines.Clear();
    if (const Section* s = FindSection(section)) {
        for (const Entry& e : s->entries)
            lines.Add(e.key + "=" + e.value);
    }
}
