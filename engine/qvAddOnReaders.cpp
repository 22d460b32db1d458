#include "engine/qvAddOnReaders.h"

#include "engine/qvClasses.h"
#include "engine/qvScanTools.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/StreamU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"

#include <atomic>

namespace {

constexpr char kFirefoxKey[] = "SOFTWARE\\Mozilla\\Mozilla Firefox";
constexpr char kDescriptionStart[] = "<RDF:Description";
constexpr char kDescriptionEnd[] = ">";

std::atomic<int> gRDFLoads{0};

bool IsBlank(char C)
{
    return C == ' ' || C == '\t' || C == '\r' || C == '\n';
}

// Removes from Block every attribute named Name (lower-case ASCII, e.g.
// 'ns1:userdisabled'), whatever its value, together with the blanks before it.
// One pass over the block: a tag of a hostile file may repeat the attribute
// thousands of times.
void RemoveAttribute(std::string& Block, const std::string& Name)
{
    const std::string pattern = Name + "=\"";
    const std::string lower = AsciiLowerCase(Block);
    std::string kept;
    size_t copied = 0; // Block[copied..] is not in kept yet
    size_t from = 0;
    for (;;) {
        const size_t at = lower.find(pattern, from);
        if (at == std::string::npos)
            break;
        // Only a whole attribute name: a blank comes before it.
        if (at == 0 || !IsBlank(Block[at - 1])) {
            from = at + 1;
            continue;
        }
        const size_t close = Block.find('"', at + pattern.size());
        if (close == std::string::npos)
            break;
        size_t start = at;
        while (start > copied && IsBlank(Block[start - 1]))
            --start;
        kept.append(Block, copied, start - copied);
        copied = close + 1;
        from = copied;
    }
    if (copied == 0)
        return;
    kept.append(Block, copied, std::string::npos);
    Block = std::move(kept);
}

// The name part of an attribute text 'name="value"', lower-cased.
std::string AttributeName(std::string_view Attr)
{
    const size_t eq = Attr.find('=');
    return AsciiLowerCase(Trim(Attr.substr(0, eq)));
}

// The "PathToExe" of the installed Firefox in the calling thread's view: HKLM
// "SOFTWARE\Mozilla\Mozilla Firefox" "CurrentVersion", cut before its first "("
// and trimmed, names "SOFTWARE\Mozilla\Mozilla Firefox " + version + "\bin".
// False when a key or value is missing.
bool ReadFirefoxPathToExe(std::string& Exe)
{
    std::string current;
    if (!RegReadString(HKEY_LOCAL_MACHINE, kFirefoxKey, "CurrentVersion", current))
        return false;
    const std::string version = Trim(std::string_view(current).substr(0, current.find('(')));
    return RegReadString(HKEY_LOCAL_MACHINE, std::string(kFirefoxKey) + " " + version + "\\bin",
                         "PathToExe", Exe);
}

} // namespace

// ---------------------------------------------------------------------------
// Firefox

void GetFirefoxFolderOrDefault(std::string& Folder)
{
    Folder.clear();
    std::string exe;
    if (ReadFirefoxPathToExe(exe)) {
        const std::string folder = ExtractFilePath(Trim(exe));
        if (!folder.empty() && DirectoryExistsEx(folder)) {
            Folder = folder;
            return;
        }
    }
    const std::string programFiles = ProgramFiles32Dir();
    if (!programFiles.empty() && DirectoryExistsEx(programFiles + "Mozilla Firefox\\"))
        Folder = programFiles + "Mozilla Firefox\\";
}

void GetFirefoxProfilesFolder(std::string& Folder)
{
    Folder.clear();
    const std::string appData = AppDataDir();
    if (appData.empty())
        return;
    const std::string profiles = appData + "Mozilla\\Firefox\\Profiles\\";
    if (DirectoryExistsEx(profiles))
        Folder = profiles;
}

void ReadInstallRdfName(const std::string& Folder, std::wstring& Name)
{
    Name.clear();
    if (Folder.empty())
        return;
    const std::string file = IncludeTrailingBackslash(Folder) + "install.rdf";
    if (!FileExistsEx(file))
        return;
    std::string text;
    if (!LoadFileToString(file, text))
        return;
    static constexpr std::string_view kOpen = "<em:name>";
    static constexpr std::string_view kClose = "</em:name>";
    const size_t open = text.find(kOpen);
    if (open == std::string::npos)
        return;
    const size_t start = open + kOpen.size();
    const size_t close = text.find(kClose, start);
    if (close == std::string::npos)
        return;
    Name = WideFromUtf8(std::string_view(text).substr(start, close - start));
}

// ---------------------------------------------------------------------------
// TRDFPartialParser

TRDFPartialParser::TRDFPartialParser(std::string Source)
    : Text(std::move(Source)), LowerText(AsciiLowerCase(Text)), original_(Text)
{
}

std::string TRDFPartialParser::FindBlock(std::string_view StartTag, std::string_view EndTag)
{
    const size_t from = BlockStart > 0 ? static_cast<size_t>(BlockStart - 1 + BlockLength) : 0;
    const size_t start = LowerText.find(AsciiLowerCase(StartTag), from);
    size_t end = std::string::npos;
    if (start != std::string::npos)
        end = LowerText.find(AsciiLowerCase(EndTag), start + StartTag.size());
    if (end == std::string::npos) {
        BlockStart = -1;
        BlockLength = -1;
        Block.clear();
        return {};
    }
    BlockStart = static_cast<int32_t>(start) + 1;
    BlockLength = static_cast<int32_t>(end + EndTag.size() - start);
    Block = Text.substr(start, static_cast<size_t>(BlockLength));
    return Block;
}

std::string TRDFPartialParser::FindItem(const std::string& Id)
{
    BlockStart = -1;
    BlockLength = -1;
    Block.clear();
    const std::string about = "rdf:about=\"urn:mozilla:item:" + AsciiLowerCase(Id) + "\"";
    for (;;) {
        const std::string block = FindBlock(kDescriptionStart, kDescriptionEnd);
        if (block.empty())
            return {};
        if (AsciiLowerCase(block).find(about) != std::string::npos)
            return block;
    }
}

void TRDFPartialParser::AddAttribute(std::string_view Attr)
{
    if (BlockStart < 1 || Block.empty() || Block.back() != '>')
        return;
    // A self-closing description keeps its "/>": the attribute goes before it.
    const size_t at =
        Block.size() >= 2 && Block[Block.size() - 2] == '/' ? Block.size() - 2 : Block.size() - 1;
    Block.insert(at, "\r\n" + std::string(Attr));
}

std::string TRDFPartialParser::ReplaceAttribute(const std::string& Id, std::string_view NewAttr,
                                                std::string_view OldAttr)
{
    if (FindItem(Id).empty())
        return {};
    const size_t start = static_cast<size_t>(BlockStart - 1);
    const size_t length = static_cast<size_t>(BlockLength);
    // Every earlier switch of the same attribute goes, so exactly one stays.
    RemoveAttribute(Block, AttributeName(NewAttr));
    if (!OldAttr.empty() && AttributeName(OldAttr) != AttributeName(NewAttr))
        RemoveAttribute(Block, AttributeName(OldAttr));
    AddAttribute(NewAttr);
    Text.replace(start, length, Block);
    LowerText.replace(start, length, AsciiLowerCase(Block));
    BlockLength = static_cast<int32_t>(Block.size());
    return Text;
}

bool TRDFPartialParser::IsDisabled(const std::string& Id)
{
    const std::string block = AsciiLowerCase(FindItem(Id));
    return !block.empty() &&
           (block.find("ns1:userdisabled=\"needs-disable\"") != std::string::npos ||
            block.find("ns1:userdisabled=\"true\"") != std::string::npos);
}

std::unique_ptr<TRDFPartialParser> LoadRDFFile(const std::string& FileName)
{
    ++gRDFLoads;
    std::string text;
    if (!FileExistsEx(FileName) || !LoadFileToString(FileName, text)) {
        qvLog("No readable extensions.rdf: " + FileName);
        return nullptr;
    }
    return std::make_unique<TRDFPartialParser>(std::move(text));
}

int RDFLoadCount() noexcept
{
    return gRDFLoads.load();
}

std::vector<std::string> ListProfileFolders(const std::string& ProfilesFolder)
{
    std::vector<std::string> entries;
    ListSubfolders(ProfilesFolder, &entries, true);
    std::vector<std::string> folders;
    for (const std::string& entry : entries) {
        // ListSubfolders lists files too; a file is no profile.
        if (DirectoryExistsEx(entry))
            folders.push_back(entry);
    }
    return folders;
}

std::vector<std::string> ListProfileRDFFiles(const std::string& ProfilesFolder)
{
    std::vector<std::string> files = ListProfileFolders(ProfilesFolder);
    for (std::string& folder : files)
        folder += "extensions.rdf";
    return files;
}

// ---------------------------------------------------------------------------
// TFFAddons

bool TFFAddons::IsDisabled(const std::string& Id)
{
    if (ProfilesFolder.empty())
        GetFirefoxProfilesFolder(ProfilesFolder);
    if (ProfilesFolder.empty())
        return false;
    if (!listed_) {
        RDFFiles = ListProfileRDFFiles(ProfilesFolder);
        listed_ = true;
    }
    for (size_t i = 0; i < RDFFiles.size(); ++i) {
        // The files are always walked in order, so the parsed ones are the
        // first parsers_.size().
        if (i == parsers_.size())
            parsers_.push_back(LoadRDFFile(RDFFiles[i]));
        if (parsers_[i] && parsers_[i]->IsDisabled(Id))
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Internet Explorer and COM

bool IsIEAddOnDisabled(const std::string& Clsid)
{
    const std::string key = std::string(kIEExtSettingsKey) + "\\" + Clsid;
    std::string version;
    return RegReadDWord(HKEY_CURRENT_USER, key, "Flags") == 1 &&
           RegReadString(HKEY_CURRENT_USER, key, "Version", version) && version == "*";
}

int IEMajorVersionFromText(std::string_view Text)
{
    constexpr int kUnknown = 8;
    const std::string text = Trim(Text);
    if (text.empty())
        return kUnknown;
    const size_t dot = text.find('.');
    const std::string major = dot == std::string::npos ? text.substr(0, 1) : text.substr(0, dot);
    int32_t value = 0;
    return TryStrToInt(major, value) ? value : kUnknown;
}

int GetIEMajorVersion()
{
    std::string version;
    if (!RegReadString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Internet Explorer", "Version",
                       version))
        return IEMajorVersionFromText("");
    return IEMajorVersionFromText(version);
}

std::string NormalizeAddOnId(std::string_view Id)
{
    std::string key = Trim(LowerCase(Id));
    if (!key.empty() && key.front() == '{')
        key.erase(0, 1);
    if (!key.empty() && key.back() == '}')
        key.pop_back();
    return key;
}

void GetComServerFile(const std::string& Clsid, std::string& FileName)
{
    static constexpr const char* kServerKeys[] = {"InprocServer32",  "LocalServer32",
                                                  "InprocHandler32", "InprocServer",
                                                  "LocalServer",     "InprocHandler"};
    FileName.clear();
    for (const char* server : kServerKeys) {
        const std::string key = "CLSID\\" + Clsid + "\\" + server;
        DWORD type = 0;
        std::string value;
        if (RegReadStringTyped(HKEY_CLASSES_ROOT, key, "", type, value) &&
            (type == REG_SZ || type == REG_EXPAND_SZ) && !value.empty()) {
            FileName = value;
            return;
        }
    }
}
