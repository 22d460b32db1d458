#include "app/qvUpdate.h"

#include "app/qvAppBody.h"
#include "platform/ArchiveU.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/ShellUtilsU.h"
#include "platform/StringListU.h"
#include "platform/SysUtilsU.h"
#include "platform/qvCommon.h"

#include <windows.h>

#include <cctype>
#include <charconv>
#include <stdexcept>

namespace {

constexpr size_t kMaxNameLength = 64;
constexpr size_t kSha256Digits = 64;
constexpr char kLoopbackHttp[] = "http://127.0.0.1";
constexpr char kHttps[] = "https://";

bool StartsWithNoCase(std::string_view Text, std::string_view Prefix)
{
    return Text.size() >= Prefix.size() && SameTextAscii(Text.substr(0, Prefix.size()), Prefix);
}

bool IsDeviceName(std::string_view Name)
{
    const std::string base = AsciiLowerCase(Name.substr(0, Name.find('.')));
    for (const char* device : {"con", "prn", "aux", "nul"})
        if (base == device)
            return true;
    return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) &&
           base[3] >= '1' && base[3] <= '9';
}

// ".cab" for "x\\Y.CAB"; '' without an extension.
std::string LowerExtension(const std::string& Path)
{
    const size_t dot = Path.find_last_of(".\\/");
    return dot == std::string::npos || Path[dot] != '.' ? std::string()
                                                        : AsciiLowerCase(Path.substr(dot));
}

bool ParseLine(std::string_view Line, TUpdateEntry& Entry)
{
    const size_t first = Line.find('\t');
    const size_t second = first == std::string_view::npos ? first : Line.find('\t', first + 1);
    if (second == std::string_view::npos || Line.find('\t', second + 1) != std::string_view::npos)
        return false;
    TUpdateEntry entry;
    entry.URL = Trim(Line.substr(0, first));
    const std::string size = Trim(Line.substr(first + 1, second - first - 1));
    entry.Sha256 = AsciiLowerCase(Trim(Line.substr(second + 1)));
    const auto [end, error] = std::from_chars(size.data(), size.data() + size.size(), entry.Size);
    if (size.empty() || error != std::errc() || end != size.data() + size.size() || entry.Size <= 0)
        return false;
    if (entry.Sha256.size() != kSha256Digits ||
        entry.Sha256.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    if (!IsTrustedUpdateURL(entry.URL))
        return false;
    entry.FileName = UrlFileName(entry.URL);
    if (!IsPlainUpdateName(entry.FileName))
        return false;
    Entry = std::move(entry);
    return true;
}

// Source put in place beside its target in the program folder.
bool InstallOne(const std::string& Source)
{
    const std::string target = ProgramDir() + ExtractFileName(Source);
    const std::string fresh = ChangeFileExt(target, ".new");
    const std::string old = ChangeFileExt(target, ".old");
    if (FileExistsEx(fresh))
        DeleteFileA(fresh.c_str());
    // Twice, as a virus scanner may hold a new file for a moment; never an
    // older copy in its place: "/completeupdate" would install that.
    if (!CopyFileTo(Source, fresh, true, true) && !CopyFileTo(Source, fresh, true, true))
        return false;
    if (!SwapUpdatedFile(target)) {
        if (!FileExistsEx(fresh))
            return false;
        AppFlags().UpdatePending = true;
    }
    DeleteFileA(Source.c_str());
    // Last: a running program's old copy stays and goes at the next start.
    if (FileExistsEx(old))
        DeleteFileA(old.c_str());
    return true;
}

} // namespace

bool IsPlainUpdateName(std::string_view Name)
{
    if (Name.empty() || Name.size() > kMaxNameLength || Name.find("..") != std::string_view::npos)
        return false;
    for (char c : Name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-'))
            return false;
    return !IsDeviceName(Name);
}

bool IsTrustedUpdateURL(std::string_view URL)
{
    if (StartsWithNoCase(URL, kHttps))
        return URL.size() > sizeof(kHttps) - 1;
    if (!StartsWithNoCase(URL, kLoopbackHttp))
        return false;
    std::string_view rest = URL.substr(sizeof(kLoopbackHttp) - 1);
    if (!rest.empty() && rest.front() == ':') {
        const size_t slash = rest.find('/');
        const std::string_view port = rest.substr(1, slash == std::string_view::npos ? rest.size() : slash - 1);
        if (port.empty() || port.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    return !rest.empty() && rest.front() == '/';
}

bool ParseUpdateList(const std::string& List, const std::string& SourceURL,
                     std::vector<TUpdateEntry>& Entries)
{
    if (!IsTrustedUpdateURL(SourceURL))
        return false;
    std::vector<TUpdateEntry> entries;
    size_t from = 0;
    while (from <= List.size()) {
        size_t end = List.find_first_of("\r\n", from);
        if (end == std::string::npos)
            end = List.size();
        const std::string_view line = std::string_view(List).substr(from, end - from);
        if (!Trim(line).empty()) {
            TUpdateEntry entry;
            if (!ParseLine(line, entry))
                return false;
            entries.push_back(std::move(entry));
        }
        from = end + 1;
    }
    Entries = std::move(entries);
    return true;
}

bool InstallUpdateFile(const std::string& File)
{
    if (!FileExistsEx(File))
        return false;
    std::vector<std::string> sources;
    bool ok = true;
    if (LowerExtension(File) == ".cab") {
        ok = Guard([&] {
            TArchive archive(File);
            TStringList names;
            if (!archive.SetArchiveType(kArchiveTypeCAB) || !archive.LoadArchiveContents(&names))
                throw std::runtime_error("update cabinet unreadable");
            for (int i = 0; i < names.Count(); ++i) {
                const std::string name = Trim(names[i]);
                if (name.empty())
                    continue;
                // Checked before anything is written: the cabinet unit would
                // put "..\x" outside the update folder.
                if (!IsPlainUpdateName(name))
                    throw std::runtime_error("update cabinet entry with a path");
                sources.push_back(UpdateDir() + name);
            }
            if (!archive.DecompressToDir(UpdateDir(), "", true))
                throw std::runtime_error("update cabinet not extracted");
        });
        if (!ok)
            sources.clear();
    } else {
        sources.push_back(File);
    }
    for (const std::string& source : sources)
        if (!FileExistsEx(source) || !InstallOne(source))
            ok = false;
    if (FileExistsEx(File) && (ok || LowerExtension(File) == ".cab"))
        DeleteFileA(File.c_str());
    return ok;
}
