#include "engine/qvScanTools.h"

#include "platform/DrivesU.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/WinVersionU.h"

#include <cmath>
#include <memory>
#include <mutex>

namespace {

struct FindCloser {
    void operator()(HANDLE h) const noexcept { FindClose(h); }
};
using TFindHandle = std::unique_ptr<void, FindCloser>;

// Runs Visit for every entry of a directory search but "." and "..". The
// search handle is closed however the walk ends.
template <typename F> void ForEachFound(const std::string& Mask, F&& Visit)
{
    WIN32_FIND_DATAA data{};
    HANDLE h = FindFirstFileA(Mask.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE)
        return;
    TFindHandle owner(h);
    do {
        const std::string_view name(data.cFileName);
        if (name == "." || name == "..")
            continue;
        Visit(data);
    } while (FindNextFileA(h, &data));
}

bool IsLeadByte(unsigned char C, UINT CodePage)
{
    return C >= 0x80 && IsDBCSLeadByteEx(CodePage, C) != FALSE;
}

// Indices of the backslashes of S that are characters of their own (never the
// trail byte of a double-byte character).
std::vector<size_t> BackslashIndices(std::string_view S)
{
    std::vector<size_t> out;
    for (size_t i = 0; i < S.size();) {
        const auto c = static_cast<unsigned char>(S[i]);
        if (IsLeadByte(c, CP_ACP) && i + 1 < S.size()) {
            i += 2;
            continue;
        }
        if (c == '\\')
            out.push_back(i);
        ++i;
    }
    return out;
}

// Folder (up to and with the last backslash) and name.
void SplitFolderName(std::string_view Path, std::string& Folder, std::string& Name)
{
    const size_t slash = LastDelimiter(Path, "\\");
    if (slash == std::string_view::npos) {
        Folder.clear();
        Name = std::string(Path);
        return;
    }
    Folder = std::string(Path.substr(0, slash + 1));
    Name = std::string(Path.substr(slash + 1));
}

// Name up to its first ".".
std::string NameBeforeDot(const std::string& Name)
{
    const int dot = FindFirstCharOf(".", Name, 1);
    return dot > 0 ? Name.substr(0, dot - 1) : Name;
}

// Searches Folder for Base + ".*"; the first entry whose folder + lower-cased
// name occurs in Within goes to Hit. With FilesOnly folders are passed over.
bool FindNamedLikeIn(const std::string& Folder, const std::string& Base, const std::string& Within,
                     std::string& Hit, bool FilesOnly = false)
{
    if (Base.empty())
        return false;
    bool found = false;
    ForEachFound(Folder + Base + ".*", [&](const WIN32_FIND_DATAA& data) {
        if (found || (FilesOnly && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)))
            return;
        std::string candidate = Folder + LowerCase(data.cFileName);
        if (Within.find(candidate) != std::string::npos) {
            Hit = std::move(candidate);
            found = true;
        }
    });
    return found;
}

// The search also finds folders: with FilesOnly such a hit does not count.
bool SearchPathHit(const std::string& Name, bool FilesOnly)
{
    if (Name.empty())
        return false;
    char buffer[1024];
    const DWORD n = SearchPathA(nullptr, Name.c_str(), ".exe", sizeof buffer, buffer, nullptr);
    if (n == 0 || n >= sizeof buffer)
        return n != 0 && !FilesOnly;
    return !FilesOnly || FileExistsEx(buffer);
}

// The system-path search of one pass. Cleaned is lower-cased already.
bool SearchSystemPath(const std::string& Cleaned, std::string& Path, bool FilesOnly)
{
    if (SearchPathHit(Cleaned, FilesOnly)) {
        Path = Cleaned;
        return true;
    }
    if (!BackslashIndices(Cleaned).empty())
        return false;
    // "rundll32.exe shell32.dll" is no file name, but its first word is a
    // program on the system path: try the text up to each blank, shortest first.
    for (size_t i = 0; i < Cleaned.size(); ++i) {
        if (Cleaned[i] != ' ')
            continue;
        const std::string cut = TrimRight(Cleaned.substr(0, i));
        if (cut.empty() || cut.size() < i)
            continue; // a run of blanks: its first one was tried already
        if (SearchPathHit(cut, FilesOnly)) {
            Path = cut;
            return true;
        }
    }
    return false;
}

bool IsAbsolutePath(std::string_view P)
{
    if (P.size() >= 2 && P[0] == '\\' && P[1] == '\\')
        return true;
    const auto c = static_cast<unsigned char>(P.empty() ? 0 : P[0]);
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return P.size() >= 3 && letter && P[1] == ':' && P[2] == '\\';
}

bool ParseInt64(std::string_view S, int64_t& Value)
{
    size_t i = 0;
    bool negative = false;
    if (i < S.size() && (S[i] == '-' || S[i] == '+')) {
        negative = S[i] == '-';
        ++i;
    }
    unsigned base = 10;
    if (i < S.size() && S[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < S.size() && S[i] == '0' && (S[i + 1] == 'x' || S[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= S.size())
        return false;
    uint64_t v = 0;
    constexpr uint64_t kLimit = static_cast<uint64_t>(INT64_MAX) + 1;
    for (; i < S.size(); ++i) {
        const char c = S[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        if (digit >= base || v > (kLimit - digit) / base)
            return false;
        v = v * base + digit;
    }
    if (!negative && v == kLimit)
        return false;
    Value = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return true;
}

int HexDigit(char C)
{
    if (C >= '0' && C <= '9')
        return C - '0';
    if (C >= 'a' && C <= 'f')
        return C - 'a' + 10;
    if (C >= 'A' && C <= 'F')
        return C - 'A' + 10;
    return -1;
}

struct TRegTypeName {
    const char* Name;
    DWORD Kind;
};
constexpr TRegTypeName kRegTypeNames[] = {
    {"str", REG_SZ},    {"exstr", REG_EXPAND_SZ}, {"bin", REG_BINARY},
    {"num", REG_DWORD}, {"mulstr", REG_MULTI_SZ},
};

const std::vector<std::string>& FixedDriveRoots()
{
    static std::once_flag once;
    static std::vector<std::string> roots;
    std::call_once(once, [] {
        TLogicalDrives drives;
        for (int i = 0; i < drives.Count(); ++i) {
            const TDriveInfo* drive = drives.GetItem(i);
            // A locked or unformatted volume is fixed too, but nothing on it
            // can be looked for: every path there would look missing.
            if (drive && drive->DriveType() == DRIVE_FIXED &&
                GetFileAttributesA(drive->RootPath().c_str()) != INVALID_FILE_ATTRIBUTES)
                roots.push_back(drive->RootPath());
        }
    });
    return roots;
}

// Text without its surrounding quotes, environment variables expanded, when
// it begins with the root of a fixed drive and the folder part of its cleaned
// form holds no "%"; that cleaned form goes to Cleaned.
bool FixedDriveCandidate(const std::string& Text, std::string& Cleaned)
{
    std::string text = Text;
    if (!text.empty() && text[0] == '"') {
        const int close = FindFirstCharOf("\"", text, 2);
        if (close == 0)
            return false;
        text = text.substr(1, static_cast<size_t>(close - 2));
    }
    text = ExpandEnvStrings(text);
    bool onFixedDrive = false;
    for (const std::string& root : FixedDriveRoots()) {
        if (text.size() >= root.size() && SameText(text.substr(0, root.size()), root)) {
            onFixedDrive = true;
            break;
        }
    }
    if (!onFixedDrive)
        return false;
    std::string cleaned = CleanPathCandidate(text);
    std::string folder, name;
    SplitFolderName(cleaned, folder, name);
    if (FindFirstCharOf("%", folder, 1) != 0)
        return false;
    Cleaned = std::move(cleaned);
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// Program paths

TRedirectionOffScope::TRedirectionOffScope(bool Active) noexcept : wanted_(Active)
{
    Resume();
}

TRedirectionOffScope::~TRedirectionOffScope()
{
    Suspend();
}

void TRedirectionOffScope::Suspend() noexcept
{
    if (off_) {
        RevertWow64Redirection();
        off_ = false;
    }
}

void TRedirectionOffScope::Resume() noexcept
{
    if (wanted_ && !off_ && IsWin64())
        off_ = DisableWow64Redirection();
}

bool ExtractExecutablePath(const std::string& CommandLine, uint8_t View, std::string& Path)
{
    std::string text = Trim(CommandLine);
    if (!text.empty() && text[0] == '"') {
        const int close = FindFirstCharOf("\"", text, 2);
        text = close > 0 ? text.substr(1, close - 2) : text.substr(1);
    }
    return ResolveExecutablePath(text, View, Path);
}

bool ResolveExecutablePath(const std::string& Text, uint8_t View, std::string& Path, bool FilesOnly)
{
    const bool win64 = IsWin64();
    const bool pass32 = !win64 || View == kViewBoth || View == kView32;
    const bool pass64 = win64 && (View == kViewBoth || View == kView64);

    auto tryExisting = [&Path, FilesOnly](const std::string& Cleaned) {
        std::string candidate = Cleaned;
        if (!ResolveExistingPath(candidate, FilesOnly))
            return false;
        Path = candidate;
        return true;
    };
    // The cleaned candidate of a view; false when the leading macro cannot be
    // resolved here, with Path set to what could be expanded. Only the leading
    // token is judged: arguments such as "%1" are no part of the path.
    auto candidateOf = [&](bool Is64, std::string& Cleaned) {
        const std::string expanded = Is64 ? ExpandPathMacros64(Text) : ExpandPathMacros32(Text);
        const std::string lead = Trim(Text);
        const size_t close =
            lead.size() > 1 && lead[0] == '%' ? lead.find('%', 1) : std::string::npos;
        std::string ignored;
        if (close != std::string::npos &&
            !TryExpandPathMacros(lead.substr(0, close + 1), Is64, ignored)) {
            Path = CleanPathCandidate(expanded);
            return false;
        }
        Cleaned = CleanPathCandidate(expanded);
        return true;
    };

    if (pass32) {
        std::string cleaned;
        if (!candidateOf(false, cleaned))
            return true;
        if (win64) {
            TRedirectionOffScope off;
            if (tryExisting(cleaned))
                return true;
        }
        if (tryExisting(cleaned) || SearchSystemPath(LowerCase(cleaned), Path, FilesOnly))
            return true;
    }
    if (pass64) {
        TRedirectionOffScope off;
        std::string cleaned;
        if (!candidateOf(true, cleaned))
            return true;
        if (tryExisting(cleaned))
            return true;
        off.Suspend();
        if (tryExisting(cleaned))
            return true;
        off.Resume();
        if (SearchSystemPath(LowerCase(cleaned), Path, FilesOnly))
            return true;
    }
    return false;
}

std::string CleanPathCandidate(const std::string& Text)
{
    std::string s = Text;
    int pos = FindFirstCharOf("<>:\"/|?*", s, 4);
    if (pos > 0)
        s.resize(static_cast<size_t>(pos - 1));
    if (s.size() >= 4) {
        static const std::string kControls = [] {
            std::string c;
            for (char ch = 1; ch < 32; ++ch)
                c += ch;
            return c;
        }();
        pos = FindFirstCharOf(kControls, s, 4);
        if (pos > 0)
            s.resize(static_cast<size_t>(pos - 1));
    }
    std::string folder, name;
    SplitFolderName(s, folder, name);
    pos = FindFirstCharOf(",;%", name, 1);
    if (pos == 1)
        return folder;
    if (pos > 1)
        return folder + name.substr(0, static_cast<size_t>(pos - 1));
    return s;
}

int FindFirstCharOf(std::string_view Chars, std::string_view Text, int Start, UINT CodePage)
{
    if (Start < 1 || static_cast<size_t>(Start) > Text.size())
        return 0;
    for (size_t i = 0; i < Text.size();) {
        const auto c = static_cast<unsigned char>(Text[i]);
        if (IsLeadByte(c, CodePage) && i + 1 < Text.size()) {
            i += 2;
            continue;
        }
        if (static_cast<int>(i) + 1 >= Start && Chars.find(static_cast<char>(c)) != Chars.npos)
            return static_cast<int>(i) + 1;
        ++i;
    }
    return 0;
}

bool ResolveExistingPath(std::string& Path, bool FilesOnly)
{
    Path = LowerCase(Path);
    if (Path.empty())
        return false;
    if (FileExistsEx(Path))
        return true;
    if (!FilesOnly && DirectoryExistsEx(Path))
        return true;

    std::string folder, name;
    SplitFolderName(Path, folder, name);
    std::string hit;
    if (!name.empty() && FindNamedLikeIn(folder, NameBeforeDot(name), Path, hit, FilesOnly)) {
        Path = hit;
        return true;
    }
    if (FilesOnly)
        return false;

    const std::string text = Trim(Path);
    for (const size_t slash : BackslashIndices(text)) {
        if (slash < 3)
            continue; // "C:\" stays whole
        std::string prefix = text.substr(0, slash);
        if (FileExistsEx(prefix)) {
            Path = prefix;
            return true;
        }
        if (!DirectoryExistsEx(prefix)) {
            if (!ResolvePathBySpaces(prefix))
                return false;
            Path = prefix;
            return true;
        }
    }
    std::string whole = text;
    if (!ResolvePathBySpaces(whole))
        return false;
    Path = whole;
    return true;
}

bool ResolvePathBySpaces(std::string& Path)
{
    Path = LowerCase(Path);
    const size_t slash = LastDelimiter(Path, "\\");
    if (slash == std::string::npos)
        return false;
    for (size_t i = slash + 1; i < Path.size(); ++i) {
        if (Path[i] != ' ' || Path[i - 1] == ' ')
            continue;
        const std::string candidate = Path.substr(0, i);
        if (FileExistsEx(candidate)) {
            Path = candidate;
            return true;
        }
        std::string folder, name, hit;
        SplitFolderName(candidate, folder, name);
        if (FindNamedLikeIn(folder, NameBeforeDot(name), candidate, hit)) {
            Path = hit;
            return true;
        }
    }
    return false;
}

bool IsFixedDrivePath(const std::string& Text)
{
    std::string cleaned;
    return FixedDriveCandidate(Text, cleaned);
}

bool IsMissingOnFixedDrive(const std::string& Text, bool FilesOnly)
{
    std::string cleaned;
    if (!FixedDriveCandidate(Text, cleaned))
        return false;
    const DWORD attributes = GetFileAttributesA(cleaned.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return FilesOnly && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void SetThreadRegistryView(bool Is64)
{
    if (IsWin64()) {
        RegView64 = Is64;
        RegView32 = !Is64;
    } else {
        RegView64 = false;
        RegView32 = false;
    }
}

TItemViewScope::TItemViewScope(bool Is64) noexcept
    : TRegViewScope(IsWin64() && !Is64, IsWin64() && Is64)
{
}

// ---------------------------------------------------------------------------
// Folder walks

bool TFoundFile::IsFolder() const
{
    return EndsWithBackslash(Path);
}

void FindFilesRecursive(const std::string& Mask, TFileList* List, bool Recurse)
{
    if (!List)
        return;
    std::string folder, pattern;
    SplitFolderName(Mask, folder, pattern);

    const int star = FindFirstCharOf("*", folder, 1);
    if (star > 0) {
        // The component that holds the "*" lies between the backslash before
        // it and the one after it (the folder part ends with one).
        const auto slashes = BackslashIndices(folder);
        const size_t starIndex = static_cast<size_t>(star - 1);
        size_t begin = 0;
        size_t end = folder.size() - 1;
        for (const size_t s : slashes) {
            if (s < starIndex)
                begin = s + 1;
            else {
                end = s;
                break;
            }
        }
        const std::string parent = folder.substr(0, begin);
        const std::string component = folder.substr(begin, end - begin);
        const std::string rest = folder.substr(end + 1);
        ForEachFound(parent + component, [&](const WIN32_FIND_DATAA& data) {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                return;
            const std::string sub = parent + data.cFileName + "\\";
            if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                List->push_back({sub, 0, data.dwFileAttributes});
                return;
            }
            FindFilesRecursive(sub + rest + pattern, List, Recurse);
        });
        return;
    }

    ForEachFound(Mask, [&](const WIN32_FIND_DATAA& data) {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!Recurse)
                return;
            const std::string sub = folder + data.cFileName + "\\";
            List->push_back({sub, 0, data.dwFileAttributes});
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                FindFilesRecursive(sub + pattern, List, Recurse);
            return;
        }
        const int64_t size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        List->push_back({folder + data.cFileName, size, data.dwFileAttributes});
    });
}

void SearchFilesToList(const std::string& Path, TFileList* List, bool Recurse, bool Is64)
{
    if (!List)
        return;
    const std::string path = Trim(Path);
    if (path.empty())
        return;
    std::string expanded;
    if (!TryExpandPathMacros(path, Is64, expanded) || !IsAbsolutePath(expanded))
        return;
    if (EndsWithBackslash(expanded)) {
        expanded += "*.*";
        Recurse = true;
    }
    FindFilesRecursive(expanded, List, Recurse);
}

int64_t SumListSizes(const TFileList* List)
{
    int64_t sum = 0;
    if (List)
        for (const TFoundFile& f : *List)
            sum += f.Size;
    return sum;
}

void ListSubfolders(const std::string& Folder, std::vector<std::string>* List, bool FullPaths)
{
    if (!List)
        return;
    std::string folder = Trim(Folder);
    if (folder.empty())
        return;
    folder = IncludeTrailingBackslash(ExpandPathMacros32(folder));
    ForEachFound(folder + "*.*", [&](const WIN32_FIND_DATAA& data) {
        List->push_back(FullPaths ? folder + data.cFileName + "\\" : std::string(data.cFileName));
    });
}

// ---------------------------------------------------------------------------
// Values

DWORD RegTypeFromName(std::string_view Name)
{
    const std::string lower = LowerCase(Name);
    for (const TRegTypeName& t : kRegTypeNames)
        if (lower == t.Name)
            return t.Kind;
    return 0;
}

std::string RegTypeToName(DWORD Kind)
{
    for (const TRegTypeName& t : kRegTypeNames)
        if (t.Kind == Kind)
            return t.Name;
    return {};
}

std::string EscapeHashHex(std::string_view Text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(Text.size());
    for (const char ch : Text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 32 || c == '"' || c == '#' || c == '&' || c == '<' || c == '>') {
            out += '#';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

std::string UnescapeHashHex(std::string_view Text)
{
    std::string out;
    out.reserve(Text.size());
    for (size_t i = 0; i < Text.size();) {
        if (Text[i] != '#') {
            out += Text[i++];
            continue;
        }
        const size_t taken = std::min<size_t>(2, Text.size() - i - 1);
        int value = 0;
        bool hex = taken > 0;
        for (size_t k = 1; k <= taken && hex; ++k) {
            const int d = HexDigit(Text[i + k]);
            hex = d >= 0;
            value = value * 16 + d;
        }
        if (hex)
            out += static_cast<char>(value);
        i += 1 + taken;
    }
    return out;
}

bool IsDWordText(std::string_view Text)
{
    int64_t v = -1;
    return ParseInt64(Text, v) && v >= 0 && v <= 0xFFFFFFFFLL;
}

DWORD DWordFromText(std::string_view Text, bool IsEmpty)
{
    if (IsEmpty)
        return 0;
    int64_t v = 0;
    return ParseInt64(Text, v) ? static_cast<DWORD>(v) : 0;
}

// ---------------------------------------------------------------------------
// MUI cache

std::string FindMuiCacheKey()
{
    return FindMuiCacheKeyIn(HKEY_CLASSES_ROOT, "Local Settings\\MuiCache");
}

std::string FindMuiCacheKeyIn(HKEY Root, const std::string& Base)
{
    std::string first;
    if (!RegGetSubKeyNames(Root, Base, first))
        return {};
    for (const std::string& a : RegSplitNames(first)) {
        const std::string levelA = Base + "\\" + a;
        std::string second;
        if (!RegGetSubKeyNames(Root, levelA, second))
            continue;
        for (const std::string& b : RegSplitNames(second)) {
            const std::string levelB = levelA + "\\" + b;
            std::string values;
            if (!RegGetValueNames(Root, levelB, values))
                continue;
            for (const std::string& v : RegSplitNames(values))
                if (!v.empty() && v[0] == '@')
                    return levelB;
        }
    }
    return {};
}

std::string MuiCacheValueToFile(std::string_view ValueName)
{
    const std::string s = Trim(ValueName);
    const int at = FindFirstCharOf("@", s, 1);
    if (at == 0)
        return s;
    if (at == 1) {
        const std::string rest = s.substr(1);
        if (!rest.empty() && rest[0] == '"') {
            const int close = FindFirstCharOf("\"", rest, 2);
            return close > 0 ? Trim(rest.substr(1, static_cast<size_t>(close - 2))) : std::string();
        }
        const int comma = FindFirstCharOf(",", rest, 1);
        return comma > 0 ? Trim(rest.substr(0, static_cast<size_t>(comma - 1))) : std::string();
    }
    const int comma = FindFirstCharOf(",", s, 1);
    if (comma != at - 1)
        return {};
    std::string path =
        s.substr(0, static_cast<size_t>(comma - 1)) + "\\" + s.substr(static_cast<size_t>(at));
    const int cut = FindFirstCharOf(",", path, 1);
    if (cut > 0)
        path.resize(static_cast<size_t>(cut - 1));
    return Trim(path);
}

// ---------------------------------------------------------------------------
// Sizes

std::string FormatSizeWith(int64_t Bytes, bool Compact, std::string_view DecimalSeparator)
{
    if (Bytes <= 0)
        return "0 MB";
    if (Compact ? Bytes <= 100 : Bytes < 1024)
        return IntToStr(Bytes) + " B";
    // One decimal, rounded half up, written by hand so that no C runtime's
    // locale or rounding quirk changes the text.
    auto oneDecimal = [&](double Value, const char* Unit) {
        const auto tenths = static_cast<int64_t>(std::floor(Value * 10.0 + 0.5));
        return IntToStr(tenths / 10) + std::string(DecimalSeparator) + IntToStr(tenths % 10) + " " +
               Unit;
    };
    if (Compact ? Bytes <= 102400 : Bytes < 1048576)
        return oneDecimal(static_cast<double>(Bytes) / 1024.0, "KB");
    if (Bytes < 1073741824)
        return oneDecimal(static_cast<double>(Bytes) / 1048576.0, "MB");
    return oneDecimal(static_cast<double>(Bytes) / 1073741824.0, "GB");
}

std::string UserDecimalSeparator()
{
    char buffer[8] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buffer, sizeof buffer) <= 1)
        return ".";
    return buffer;
}

std::string FormatSize(int64_t Bytes)
{
    return FormatSizeWith(Bytes, false, UserDecimalSeparator());
}

std::string FormatSizeCompact(int64_t Bytes)
{
    return FormatSizeWith(Bytes, true, UserDecimalSeparator());
}
