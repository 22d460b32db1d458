#pragma once
// Free functions that the scanners, the registry items and the tray share:
// turning a command line or a registry value into the path of an existing
// program file in either registry view of 64-bit Windows; listing files and
// folders; the names of registry value kinds; the "#" escape of registry data
// in stored XML; the key of the shell's MUI name cache; and the size texts of
// the user interface.
//
// This unit knows nothing of the scan model: the tray links it on its own.
// All text is 8-bit in the system code page; every split of a path into
// folder and name respects double-byte code pages (0x5C can be the trail byte
// of a character in code page 932). Nothing here raises for a missing file,
// folder or key: the answer is False or the empty text. The only state is the
// list of fixed-drive roots, built once.

#include "platform/RegistryU.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Program paths

// Which registry views the path lookups try. On 32-bit Windows every selector
// acts as kView32.
inline constexpr uint8_t kViewBoth = 0; // the 32-bit view first, then the 64-bit one
inline constexpr uint8_t kView32 = 1;
inline constexpr uint8_t kView64 = 2;

// The command line is trimmed; when it begins with a double quote, the text up
// to the next one (to the end without a second one) is the candidate, else the
// whole line. ResolveExecutablePath decides. Path is set only on success.
bool ExtractExecutablePath(const std::string& CommandLine, uint8_t View, std::string& Path);

// Per view pass (32-bit first): the macros expanded for the view, the result
// cut down by CleanPathCandidate, then ResolveExistingPath with file-system
// redirection off, again with it on, then the system path (SearchPathA with
// ".exe"). When the cleaned text holds no backslash, the system-path search
// also tries the text up to each blank, shortest first, so that
// "rundll32.exe shell32.dll,Control_RunDLL" is found; such bare texts are never
// tested against the current folder. A system-path hit leaves Path as the
// cleaned (lower-cased) name that was found, not the full path. Redirection is
// restored however a pass ends.
// A text that begins with a macro this machine cannot resolve (a macro folder
// that is unknown here, an unset variable) counts as found, with Path set to
// the cleaned plain expansion: the scanners delete what is missing, and
// nothing is judged missing that could not be looked for.
// With FilesOnly a folder never counts as found (a type library must be a
// file): ResolveExistingPath gets FilesOnly and a system-path hit must be a
// file.
bool ResolveExecutablePath(const std::string& Text, uint8_t View, std::string& Path,
                           bool FilesOnly = false);

// Cuts a text down to a plausible path: before the first of < > : " / | ? *
// at or after position 4 (a drive prefix survives), before the first control
// character at or after position 4, and, when the file name holds a comma,
// semicolon or percent sign, the folder plus the name up to it (the folder
// alone when the name begins with one).
std::string CleanPathCandidate(const std::string& Text);

// 1-based position of the first byte of Text at or after Start that is one of
// Chars (single-byte characters); the trail byte of a double-byte character
// of CodePage is never taken. 0 when none, when Start < 1 or when Start lies
// beyond the text.
int FindFirstCharOf(std::string_view Chars, std::string_view Text, int Start,
                    UINT CodePage = CP_ACP);

// Both leave Path lower-cased and replace it with what they resolved.
// ResolveExistingPath: an existing file (or, unless FilesOnly, folder); else
// the folder searched for the name up to its first "." plus ".*", an entry
// (a file with FilesOnly) whose full path occurs in Path winning; else, unless FilesOnly, the walk
// over the backslashes from position 4 (a prefix that is a file wins, the
// first prefix that is no folder goes to ResolvePathBySpaces), and at its end
// ResolvePathBySpaces on the whole path.
bool ResolveExistingPath(std::string& Path, bool FilesOnly);
// Tries the text before each blank after the last backslash (a run of blanks
// counts once): an existing file, or an entry of its folder named like it up
// to the first "." whose full path occurs in the candidate.
bool ResolvePathBySpaces(std::string& Path);

// True when Text (without surrounding quotes; False when the closing one is
// missing), environment variables expanded, begins with the root of a fixed
// drive (ignoring case) and the folder part of its cleaned form holds no "%".
// The fixed drives are listed once per process, each only when its root can
// be read (a locked or unformatted volume is left out); none gives False.
bool IsFixedDrivePath(const std::string& Text);
// IsFixedDrivePath, and the system answers "file not found" or "path not
// found" for the cleaned path: only then is a path that no lookup resolved
// missing. Access denied, a sharing or a device error leaves it unknown.
// With FilesOnly a folder of that path counts as missing too.
bool IsMissingOnFixedDrive(const std::string& Text, bool FilesOnly = false);

// The calling thread's registry view for what follows: on 64-bit Windows the
// 64-bit view for Is64, else the 32-bit one; on 32-bit Windows no view flag.
// Callers that must restore the previous view hold a TRegViewScope around it.
void SetThreadRegistryView(bool Is64);

// The same view for the scope's lifetime (an item's or a pass's is64); the
// previous view comes back however the scope is left.
class TItemViewScope : public TRegViewScope {
public:
    explicit TItemViewScope(bool Is64) noexcept;
};

// Switches file-system redirection off for the calling thread while it lives
// (where anything is redirected: a 32-bit program on 64-bit Windows) and back
// on when it ends, however the scope is left. Suspend and Resume switch it on
// and off again inside the scope. Lives on one thread; not copyable.
class TRedirectionOffScope {
public:
    explicit TRedirectionOffScope(bool Active = true) noexcept;
    ~TRedirectionOffScope();
    TRedirectionOffScope(const TRedirectionOffScope&) = delete;
    TRedirectionOffScope& operator=(const TRedirectionOffScope&) = delete;

    void Suspend() noexcept;
    void Resume() noexcept;

private:
    bool wanted_;
    bool off_ = false;
};

// ---------------------------------------------------------------------------
// Folder walks

// One entry of a walk. A folder entry ends in a backslash and has size 0.
struct TFoundFile {
    std::string Path;
    int64_t Size = 0;
    DWORD Attributes = 0;

    bool IsFolder() const;
};
using TFileList = std::vector<TFoundFile>;

// Adds the entries matching Mask (folder part plus file pattern) to List:
// - a "*" in the folder part: the folder component holding it is searched for
//   folders (the attribute is tested, so a file of that name is never entered)
//   and the rest of the mask is walked below each;
// - otherwise every match of the mask is added: a file as folder + name with
//   its 64-bit size; with Recurse a folder as folder + name + "\" (size 0),
//   then searched with the same file pattern.
// An entry that is a reparse point (junction, symbolic link, mount point) is
// listed but never entered, whether a "*" component or the recursion met it:
// what lies behind it is not part of the folder being walked.
void FindFilesRecursive(const std::string& Mask, TFileList* List, bool Recurse);

// The walk of a stored pattern. Nothing happens when List is absent or the
// trimmed path is empty. The macros are expanded for the view (Is64: the
// 64-bit folders) by the checked expansion: a pattern with an unresolved
// macro, or one that is not absolute after expansion (neither a drive root
// "X:\" nor a "\\" start), lists nothing, since it would walk some other
// folder. A path that ends with a backslash is searched with "*.*" and
// recursively whatever Recurse says.
void SearchFilesToList(const std::string& Path, TFileList* List, bool Recurse, bool Is64 = false);

// The sum of the entries' sizes; 0 for an absent or empty list.
int64_t SumListSizes(const TFileList* List);

// Every entry of the folder but "." and ".." (files too: the attribute is not
// tested), as Folder + name + "\" with FullPaths, else the bare name. The
// folder is trimmed, expanded (32-bit view) and given a trailing backslash
// first. Nothing happens when List is absent or the folder empty.
void ListSubfolders(const std::string& Folder, std::vector<std::string>* List, bool FullPaths);

// ---------------------------------------------------------------------------
// Values

// "str" 1, "exstr" 2, "bin" 3, "num" 4, "mulstr" 7, compared lower-cased;
// anything else 0.
DWORD RegTypeFromName(std::string_view Name);
// The name of a kind; '' for any other kind.
std::string RegTypeToName(DWORD Kind);

// Every byte below 32 and each of the characters double quote, "#", "&", "<"
// and ">" becomes "#" and two upper-case hexadecimal digits; every other byte
// stands for itself. The "&" is escaped because the XML reader would take
// "&...;" in a stored text for an entity.
std::string EscapeHashHex(std::string_view Text);
// A "#" takes the next two characters: hexadecimal digits (either case) give
// that byte, anything else drops all three. A short tail is read as far as it
// goes: "x#4" gives "x" and byte 4, a "#" at the very end gives nothing.
std::string UnescapeHashHex(std::string_view Text);

// A decimal or "$"-hexadecimal ("0x" too) integer within 0..4294967295.
bool IsDWordText(std::string_view Text);
// 0 when IsEmpty; else the text as an integer cut to 32 bits (0 when it is no
// number).
DWORD DWordFromText(std::string_view Text, bool IsEmpty);

// ---------------------------------------------------------------------------
// MUI cache

// The key below HKEY_CLASSES_ROOT that holds the shell's MUI name cache:
// "Local Settings\MuiCache\<a>\<b>" for the first second-level key (every
// level walked in order) that has a value name beginning with "@"; '' when
// none.
std::string FindMuiCacheKey();
// The same walk below Root\Base; the result starts with Base.
std::string FindMuiCacheKeyIn(HKEY Root, const std::string& Base);
// The file a cache value name refers to (the name trimmed first): without "@"
// the name itself; "@" first: the quoted text after it, or the text before the
// first ",", trimmed ('' when the quote or the comma is missing); "@" later,
// right after the first ",": the text before the comma, "\" and the text after
// the "@", cut before its first "," and trimmed; any other form ''.
std::string MuiCacheValueToFile(std::string_view ValueName);

// ---------------------------------------------------------------------------
// Sizes, 1024-based, one decimal, in the user's decimal separator

// "0 MB" for 0 or less; below 1024 "<n> B"; below 1048576 "<x.x> KB"; below
// 1073741824 "<x.x> MB"; else "<x.x> GB".
std::string FormatSize(int64_t Bytes);
// The same with the byte range up to 100 and the kilobyte range up to 102400.
std::string FormatSizeCompact(int64_t Bytes);
// Both with a given decimal separator (the two above pass the user's).
std::string FormatSizeWith(int64_t Bytes, bool Compact, std::string_view DecimalSeparator);
// The user's decimal separator (LOCALE_SDECIMAL), "." when it cannot be read.
std::string UserDecimalSeparator();
