#pragma once
// Read-only helpers of the add-on scanner: where Firefox and its profiles are,
// what an extension is called, whether Firefox or Internet Explorer already
// has an add-on switched off, and which file implements a COM class; and the
// one piece of Firefox-file editing, the rewrite of one extension's opening
// description tag in a profile's "extensions.rdf".
//
// Registry reads use the calling thread's registry view: the scanner sets it
// per pass before it calls. Missing keys, values, folders and files give ''
// or False, never an error. Used by the scan worker only.

#include "platform/ClassesU.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Firefox

// Firefox's program folder (trailing backslash) as the add-on folder scan
// needs it, or '': in the calling thread's view, HKLM
// "SOFTWARE\Mozilla\Mozilla Firefox" "CurrentVersion", cut before its first "("
// and trimmed, names "SOFTWARE\Mozilla\Mozilla Firefox " + version + "\bin",
// whose "PathToExe" (trimmed) gives the program; its folder when that exists.
// Otherwise the 32-bit Program Files + "Mozilla Firefox\" when that exists.
// Nothing is loaded from this folder, so it does not follow the Program Files
// rule of GetFirefoxFolder (FirefoxU), which falls back to a running
// firefox.exe instead.
void GetFirefoxFolderOrDefault(std::string& Folder);

// The user's application data + "Mozilla\Firefox\Profiles\" when it exists,
// else ''.
void GetFirefoxProfilesFolder(std::string& Folder);

// The text between the first "<em:name>" and the next "</em:name>" (exact
// case) of Folder + "install.rdf", UTF-8 decoded; '' when the file or a tag is
// missing. The first "<em:name>" wins even when it belongs to a nested
// description.
void ReadInstallRdfName(const std::string& Folder, std::wstring& Name);

// One "extensions.rdf" as bytes. Positions are 1-based; the search copy lowers
// ASCII letters only, so it maps byte for byte onto the text, whatever the
// file's encoding. The current block is the opening tag of one extension's
// description.
class TRDFPartialParser : public TObject {
public:
    explicit TRDFPartialParser(std::string Text);

    int32_t BlockStart = -1; // 1-based start of the current block; -1 none
    int32_t BlockLength = -1;
    std::string Block;
    std::string Text;
    std::string LowerText;

    // Searches, ignoring ASCII case, StartTag after the current block (from the
    // start without one), then EndTag after it. Found: the block is the text
    // from the start tag through the end tag, returned. Else '' and no block.
    std::string FindBlock(std::string_view StartTag, std::string_view EndTag);
    // From the start, the "<RDF:Description" ... ">" blocks until one holds
    // RDF:about="urn:mozilla:item:<Id>" (ignoring ASCII case); that block
    // stays current. '' and no block when none does.
    std::string FindItem(const std::string& Id);
    // The current block gets CR LF + Attr before its closing "/>", or before
    // its closing ">".
    void AddAttribute(std::string_view Attr);
    // FindItem(Id); found: every attribute of the block named like NewAttr or
    // OldAttr (whatever its value) is removed with the blanks before it, NewAttr
    // is added, the block goes back into both texts, and the new text is the
    // answer. Not found: '' and nothing changes.
    std::string ReplaceAttribute(const std::string& Id, std::string_view NewAttr,
                                 std::string_view OldAttr);
    // FindItem(Id), and its block holds NS1:userDisabled="needs-disable" or
    // NS1:userDisabled="true" (ignoring ASCII case).
    bool IsDisabled(const std::string& Id);
    // The text differs from what the parser was made with.
    bool Changed() const { return Text != original_; }

private:
    std::string original_;
};

// A profile's "extensions.rdf" read whole: a parser, or null when the file is
// missing or unreadable (logged). Every call counts as one load.
std::unique_ptr<TRDFPartialParser> LoadRDFFile(const std::string& FileName);
// How many RDF files were loaded in this process (tests count the parses).
int RDFLoadCount() noexcept;

// The profile folders: every sub-folder of the profiles folder (full paths,
// trailing backslash); entries of the profiles folder that are files are
// skipped.
std::vector<std::string> ListProfileFolders(const std::string& ProfilesFolder);
// The profiles' "extensions.rdf" files: each profile folder + "extensions.rdf".
std::vector<std::string> ListProfileRDFFiles(const std::string& ProfilesFolder);

// Whether Firefox (before 4) has an extension switched off, over all
// profiles. The folder, the file list and one parser per file are made on
// first use and kept, so each file is parsed once however many ids are asked.
class TFFAddons : public TObject {
public:
    std::string ProfilesFolder; // '' until first needed
    std::vector<std::string> RDFFiles;

    // True when any profile's RDF file has the extension disabled. A profile
    // without "extensions.rdf" counts as not disabling it.
    bool IsDisabled(const std::string& Id);

private:
    bool listed_ = false;
    // The parsers of the first RDFFiles, in order; null when a file could not
    // be read.
    std::vector<std::unique_ptr<TRDFPartialParser>> parsers_;
};

// ---------------------------------------------------------------------------
// Internet Explorer and COM

// HKCU "Software\Microsoft\Windows\CurrentVersion\Ext\Settings\" + Clsid: the
// DWORD "Flags" is 1 and the string "Version" is "*".
bool IsIEAddOnDisabled(const std::string& Clsid);
// HKLM "SOFTWARE\Microsoft\Internet Explorer" "Version", trimmed: the number
// before its first "." (with no ".", its first character); 8 when missing,
// empty or no number.
int GetIEMajorVersion();
// The major version from a "Version" text, as GetIEMajorVersion decides it.
int IEMajorVersionFromText(std::string_view Text);
// Lower-cased, trimmed, one leading "{" and one trailing "}" removed.
std::string NormalizeAddOnId(std::string_view Id);
// The default string value of the first of HKCR "CLSID\" + Clsid +
// "\InprocServer32", "\LocalServer32", "\InprocHandler32", "\InprocServer",
// "\LocalServer", "\InprocHandler" that has a non-empty one, as stored
// (arguments and variables included); '' when none.
void GetComServerFile(const std::string& Clsid, std::string& FileName);

// The keys of the add-ons (without a trailing backslash).
inline constexpr char kIEExtSettingsKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings";
inline constexpr char kIEBHOKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
inline constexpr char kIEToolbarKey[] = "Software\\Microsoft\\Internet Explorer\\Toolbar";
inline constexpr char kFirefoxExtensionsKey[] = "Software\\Mozilla\\Firefox\\Extensions";
