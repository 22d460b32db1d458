#include "engine/qvClassesEx.h"

#include "engine/qvExceptions.h"
#include "engine/qvScanTools.h"
#include "engine/qvScanners.h"
#include "platform/FileUtilsU.h"
#include "platform/HashU.h"
#include "platform/RegistryU.h"
#include "platform/SecurityU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

namespace {

constexpr char kClsidArea[] = "CLSID";
constexpr char kInterfaceArea[] = "Interface";
constexpr char kTypeLibArea[] = "TypeLib";
constexpr char kUninstallArea[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr char kSharedDllsArea[] = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
constexpr char kAppPathsArea[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths";
constexpr char kMuiCacheBeforeVista[] = "Software\\Microsoft\\Windows\\ShellNoRoam\\MUICache";
constexpr char kMuiCacheVista[] = "Local Settings\\Software\\Microsoft\\Windows\\Shell\\MuiCache";
constexpr char kMuiCacheTree[] = "Local Settings\\MuiCache";

// The server sub-keys of a class, in the order they are tried.
constexpr const char* kServerKeys[] = {"\\InprocServer32", "\\LocalServer32", "\\InprocHandler32",
                                       "\\InprocServer",   "\\LocalServer",   "\\InprocHandler"};

// Keys a repair must never delete whole, with the root they live under.
struct TContainer {
    HKEY Root;
    const char* Key;
};
const TContainer kContainers[] = {
    {HKEY_CLASSES_ROOT, kClsidArea},           {HKEY_CLASSES_ROOT, kInterfaceArea},
    {HKEY_CLASSES_ROOT, kTypeLibArea},         {HKEY_LOCAL_MACHINE, kUninstallArea},
    {HKEY_LOCAL_MACHINE, kSharedDllsArea},     {HKEY_LOCAL_MACHINE, kAppPathsArea},
    {HKEY_CURRENT_USER, kMuiCacheBeforeVista}, {HKEY_CLASSES_ROOT, kMuiCacheVista},
    {HKEY_CLASSES_ROOT, kMuiCacheTree},
};

std::atomic<TqvKeyOwnerQuery> gOwnerQuery{nullptr};

std::wstring UpperWide(std::wstring Text)
{
    if (!Text.empty())
        CharUpperBuffW(Text.data(), static_cast<DWORD>(Text.size()));
    return Text;
}

bool SameWideText(const std::wstring& A, const std::wstring& B)
{
    return A.size() == B.size() && UpperWide(A) == UpperWide(B);
}

// One enumerated name in 8-bit form; Addressable when the wide name equals
// its 8-bit form widened, so that the 8-bit layer reaches this entry and no
// other.
struct TName {
    std::string Ansi;
    bool Addressable = false;
};

// The value names (SubKeys false) or sub-key names of Root\Path in the
// thread's view, read wide and converted. False when the key cannot be opened
// or the enumeration fails before its end.
bool EnumNames(HKEY Root, const std::string& Path, bool SubKeys, std::vector<TName>& Names)
{
    TRegKey key;
    if (RegNameHoldsNul(Path) ||
        RegOpenKeyExW(Root, WideFromAnsi(Path).c_str(), 0, KEY_READ | RegViewAccessBit(),
                      key.put()) != ERROR_SUCCESS)
        return false;
    std::vector<wchar_t> buffer(256);
    std::vector<TName> names;
    for (DWORD index = 0;;) {
        DWORD length = static_cast<DWORD>(buffer.size());
        const LONG result = SubKeys ? RegEnumKeyExW(key.get(), index, buffer.data(), &length,
                                                    nullptr, nullptr, nullptr, nullptr)
                                    : RegEnumValueW(key.get(), index, buffer.data(), &length,
                                                    nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result == ERROR_MORE_DATA && buffer.size() < 32768) {
            // Value names reach 16383 characters; key names 255.
            buffer.resize(32768);
            continue;
        }
        if (result != ERROR_SUCCESS)
            return false;
        const std::wstring wide(buffer.data(), length);
        TName name;
        name.Ansi = AnsiFromWide(wide);
        // A name with a NUL reaches no terminated call as itself.
        name.Addressable = SameWideText(WideFromAnsi(name.Ansi), wide) &&
                           wide.find(L'\0') == std::wstring::npos;
        names.push_back(std::move(name));
        ++index;
    }
    Names = std::move(names);
    return true;
}

bool IsBlank(const std::string& Name)
{
    return Trim(Name).empty();
}

// A REG_SZ or REG_EXPAND_SZ value as 8-bit text, one stored terminator cut.
// One open and, for the usual short value, one query: the walks read a few
// values per entry over tens of thousands of entries.
bool ReadText(HKEY Root, const std::string& Path, const std::string& Name, std::string& Text)
{
    TRegKey key;
    if (RegNameHoldsNul(Path) || RegNameHoldsNul(Name) ||
        RegOpenKeyExA(Root, Path.c_str(), 0, KEY_QUERY_VALUE | RegViewAccessBit(), key.put()) !=
            ERROR_SUCCESS)
        return false;
    char small[512];
    std::vector<char> large;
    char* data = small;
    DWORD size = sizeof(small);
    DWORD type = 0;
    LONG result = RegQueryValueExA(key.get(), Name.c_str(), nullptr, &type,
                                   reinterpret_cast<BYTE*>(data), &size);
    for (int attempt = 0; result == ERROR_MORE_DATA && attempt < 4; ++attempt) {
        large.assign(size + 2, '\0');
        data = large.data();
        size = static_cast<DWORD>(large.size());
        result = RegQueryValueExA(key.get(), Name.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(data), &size);
    }
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    if (size > 0 && data[size - 1] == '\0')
        --size;
    Text.assign(data, size);
    return true;
}

// The wide read of the value equals its 8-bit text widened (ignoring case):
// the code page held every character, so a miss is a real miss.
bool WideTextMatches(HKEY Root, const std::string& Path, const std::string& Name,
                     const std::string& Text)
{
    std::wstring wide;
    return RegReadWideString(Root, WideFromAnsi(Path), WideFromAnsi(Name), wide) &&
           SameWideText(WideFromAnsi(Text), wide);
}

enum class TFileState { Exists, Missing, Unknown };

// The program part of a command line as the path lookup takes it.
std::string CommandLineProgram(const std::string& CommandLine)
{
    const std::string line = Trim(CommandLine);
    if (line.empty() || line[0] != '"')
        return line;
    const size_t close = line.find('"', 1);
    return close == std::string::npos ? line.substr(1) : line.substr(1, close - 1);
}

// A miss counts only on a fixed drive, and only when the system says the
// file or its folder is not there: anything else may come back. With
// FilesOnly a folder there is missing too.
TFileState MissOrUnknown(const std::string& Path, bool FilesOnly = false)
{
    return IsMissingOnFixedDrive(Path, FilesOnly) ? TFileState::Missing : TFileState::Unknown;
}

TFileState TestCommandLine(const std::string& CommandLine, uint8_t View)
{
    std::string path;
    if (ExtractExecutablePath(CommandLine, View, path))
        return TFileState::Exists;
    return MissOrUnknown(CommandLineProgram(CommandLine));
}

// A type library's file; a resource number may follow it behind a "\".
// Only files count, in both tries: the retry without the last part would
// otherwise take the folder of a missing library for the library.
TFileState TestLibraryFile(const std::string& Text, uint8_t View)
{
    const std::string file = Trim(Text);
    std::string path;
    if (ResolveExecutablePath(file, View, path, true))
        return TFileState::Exists;
    const size_t slash = LastDelimiter(file, "\\");
    if (slash != std::string::npos && slash > 0 &&
        ResolveExecutablePath(file.substr(0, slash), View, path, true))
        return TFileState::Exists;
    return MissOrUnknown(file, true);
}

// The native name of Root\Key in the thread's view; '' when it cannot be opened.
std::wstring NativeKeyName(HKEY Root, const std::string& Key)
{
    TRegKey key;
    if (RegNameHoldsNul(Key) ||
        RegOpenKeyExA(Root, Key.c_str(), 0, KEY_QUERY_VALUE | RegViewAccessBit(), key.put()) !=
            ERROR_SUCCESS)
        return {};
    return UpperWide(GetKeyNameFromHandle(key.get()));
}

// The native name of Root\Key in the 32-bit or the 64-bit view.
std::wstring NativeKeyNameIn(HKEY Root, const std::string& Key, bool Is64)
{
    TItemViewScope view(Is64);
    return NativeKeyName(Root, Key);
}

// The hive that holds HKCR\Key in the thread's view.
HKEY ClassesHiveOf(const std::string& Key)
{
    return ClassesHiveOfNativeName(NativeKeyName(HKEY_CLASSES_ROOT, Key));
}

// The sub-keys (or values) of Root\Area, one Test per addressable,
// non-blank name that the scanner has not met in the other view; the
// progress rules of the walks: a sub-step before every name but the first and
// an unforced report before every name. False when a report said stop.
template <typename F>
bool WalkNames(TqvRegScanner& Scanner, HKEY Root, const std::string& Area, bool SubKeys, F&& Test)
{
    std::vector<TName> names;
    if (!EnumNames(Root, Area, SubKeys, names))
        return true;
    Scanner.SubPosition = 0;
    Scanner.SubMaximum = static_cast<int32_t>(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            Scanner.StepSubProgress();
        if (Scanner.Owner && !Scanner.Owner->Progress(false))
            return false;
        const TName& name = names[i];
        if (name.Addressable && !IsBlank(name.Ansi) &&
            Scanner.FirstMeeting(Root, Area, SubKeys, name.Ansi))
            Test(name.Ansi);
    }
    return true;
}

// Pass 0 in the 32-bit view, then, on 64-bit Windows, pass 1 in the 64-bit
// view, with StepProgress after each. StopAll: a pass that was told to stop
// ends the whole scan (no further step); otherwise the next pass still runs.
template <typename F>
void RunViewPasses(TqvRegScanner& Scanner, const std::string& LogName, bool StopAll, F&& Pass)
{
    const bool win64 = IsWin64();
    Scanner.ForgetMeetings();
    for (uint8_t pass = 0; pass < (win64 ? 2 : 1); ++pass) {
        Scanner.PassFlag = pass;
        bool goOn = true;
        {
            TItemViewScope view(pass == 1);
            qvLog(std::string(pass == 0 ? "Scan 32-bit " : "Scan 64-bit ") + LogName);
            goOn = Pass();
        }
        if (!goOn && StopAll)
            return;
        Scanner.StepProgress();
    }
}


std::string StripTrailingBackslashes(std::string Key)
{
    while (!Key.empty() && EndsWithBackslash(Key))
        Key = ExcludeTrailingBackslash(Key);
    return Key;
}

} // namespace

HKEY ClassesHiveOfNativeName(const std::wstring& NativeName)
{
    const std::wstring native = UpperWide(NativeName);
    if (native.rfind(L"\\REGISTRY\\USER\\", 0) == 0)
        return HKEY_CURRENT_USER;
    if (native.rfind(L"\\REGISTRY\\MACHINE\\", 0) == 0)
        return HKEY_LOCAL_MACHINE;
    return nullptr;
}

TqvKeyOwnerQuery SetKeyOwnerQuery(TqvKeyOwnerQuery Query) noexcept
{
    return gOwnerQuery.exchange(Query);
}

bool IsScannedContainerKey(HKEY Root, const std::string& Key)
{
    const std::string key = StripTrailingBackslashes(Key);
    for (const TContainer& c : kContainers)
        if (c.Root == Root && SameText(key, StripTrailingBackslashes(c.Key)))
            return true;
    // The cache keys that FindMuiCacheKey may name: one and two levels below.
    if (Root == HKEY_CLASSES_ROOT) {
        const std::string tree = std::string(kMuiCacheTree) + "\\";
        if (key.size() > tree.size() && SameText(key.substr(0, tree.size()), tree)) {
            const std::string rest = key.substr(tree.size());
            size_t separators = 0;
            for (size_t pos = rest.find('\\'); pos != std::string::npos;
                 pos = rest.find('\\', pos + 1))
                ++separators;
            return separators <= 1;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// TqvRegScanner

bool TqvRegScanner::OwnedByTrustedInstaller(HKEY Root, const std::string& Key) const
{
    if (!ownerTest_)
        return false;
    TqvKeyOwnerQuery query = gOwnerQuery.load();
    std::string owner;
    const bool known = query ? query(Root, Key, owner) : RegGetKeyOwnerName(Root, Key, owner);
    return known && LowerCase(owner) == "trustedinstaller";
}

bool TqvRegScanner::FirstMeeting(HKEY Root, const std::string& Area, bool SubKeys,
                                 const std::string& Name)
{
    if (!IsWin64())
        return true;
    const std::string entry =
        RegRootToName(Root) + "\\" + UpperCase(Area) + (SubKeys ? "\\" : "\t") + UpperCase(Name);
    const uint64_t hash = Fnv1a64(entry);
    if (PassFlag == 0) {
        met_.push_back(hash);
        metSorted_ = false;
        return true;
    }
    if (!metSorted_) {
        std::sort(met_.begin(), met_.end());
        met_.erase(std::unique(met_.begin(), met_.end()), met_.end());
        metSorted_ = true;
    }
    if (!std::binary_search(met_.begin(), met_.end(), hash))
        return true;
    // The same name in both views is one entry only where both views reach
    // the same key. A value shares its key's fate.
    const std::string key = SubKeys ? Area + "\\" + Name : Area;
    const std::string sharedKey = RegRootToName(Root) + "\\" + UpperCase(key);
    auto known = shared_.find(sharedKey);
    if (known == shared_.end()) {
        const std::wstring native32 = NativeKeyNameIn(Root, key, false);
        const bool shared = !native32.empty() && native32 == NativeKeyNameIn(Root, key, true);
        known = shared_.emplace(sharedKey, shared).first;
    }
    if (!known->second)
        return true;
    qvLog("Registry shared by both views, tested once: " + RegRootToName(Root) + "\\" + key +
          (SubKeys ? "" : "\\#" + Name));
    return false;
}

void TqvRegScanner::ForgetMeetings()
{
    met_.clear();
    metSorted_ = true;
    shared_.clear();
}

void TqvRegScanner::AddFinding(HKEY Root, const std::string& Key, const std::string& Name,
                               bool ValueTarget, bool Details, const std::string& Message)
{
    auto item = NewRegDeletion(this, Root, Key, Name, PassFlag != 0, ValueTarget);
    const std::string where = RegRootToName(Root) + "\\" + Key + "\\#" + Name;
    if (IsIgnored(*item)) {
        qvLog("Registry IGNORED: " + where);
        return;
    }
    if (Root == HKEY_CLASSES_ROOT)
        item->ClassesHive = ClassesHiveOf(Key);
    auto* added = static_cast<TqvRegItem*>(Add(std::move(item)));
    if (Owner)
        Owner->AddFound(1);
    if (Details)
        added->AddKeyDetails(added->Key, false, *added);
    qvLog("BAD REGISTRY:");
    qvLog(where + " = ");
    qvLog(Message);
}

// ---------------------------------------------------------------------------
// The scanners

void TqvItemsCLSID::Scan()
{
    qvLog("Scan type: CLSID");
    ownerTest_ = IsVistaOrLater();
    auto testClass = [this](const std::string& Name) {
        const std::string key = std::string(kClsidArea) + "\\" + Name;
        if (OwnedByTrustedInstaller(HKEY_CLASSES_ROOT, key)) {
            qvLog("TrustedInstaller - " + key);
            return;
        }
        bool suspect = false;
        bool unknown = false;
        for (const char* server : kServerKeys) {
            const std::string serverKey = key + server;
            std::string text;
            if (!ReadText(HKEY_CLASSES_ROOT, serverKey, "", text) || IsBlank(text))
                continue;
            TFileState state = TestCommandLine(text, PassView());
            if (state == TFileState::Exists)
                return;
            if (state == TFileState::Missing &&
                !WideTextMatches(HKEY_CLASSES_ROOT, serverKey, "", text))
                state = TFileState::Unknown;
            if (state == TFileState::Missing) {
                qvLog("COM server does not exists: " + text);
                suspect = true;
            } else {
                unknown = true;
            }
        }
        if (suspect && !unknown)
            AddFinding(HKEY_CLASSES_ROOT, key, "", false, true, "Server does not exist!");
    };
    RunViewPasses(*this, "CLSID", false,
                  [&] { return WalkNames(*this, HKEY_CLASSES_ROOT, kClsidArea, true, testClass); });
}

void TqvItemsInterfaces::Scan()
{
    qvLog("Scan type: Interface");
    ownerTest_ = IsVistaOrLater();
    auto testInterface = [this](const std::string& Name) {
        const std::string key = std::string(kInterfaceArea) + "\\" + Name;
        if (OwnedByTrustedInstaller(HKEY_CLASSES_ROOT, key)) {
            qvLog("TrustedInstaller - " + key);
            return;
        }
        const std::string typeLibKey = key + "\\TypeLib";
        std::string value;
        if (!ReadText(HKEY_CLASSES_ROOT, typeLibKey, "", value))
            return;
        const std::string id = Trim(value);
        if (!id.empty()) {
            if (RegKeyExists(HKEY_CLASSES_ROOT, "Typelib\\" + id))
                return;
            if (!WideTextMatches(HKEY_CLASSES_ROOT, typeLibKey, "", value))
                return;
        }
        AddFinding(HKEY_CLASSES_ROOT, key, "", false, true,
                   "Referenced TypeLib does not exist:  " + value);
    };
    RunViewPasses(*this, "Interfaces", false, [&] {
        return WalkNames(*this, HKEY_CLASSES_ROOT, kInterfaceArea, true, testInterface);
    });
}

void TqvItemsTypelib::Scan()
{
    qvLog("Scan type: TypeLib");
    ownerTest_ = IsVistaOrLater();
    const bool win64 = IsWin64();
    auto testLibrary = [this, win64](const std::string& Name) {
        const std::string library = std::string(kTypeLibArea) + "\\" + Name;
        if (OwnedByTrustedInstaller(HKEY_CLASSES_ROOT, library)) {
            qvLog("TrustedInstaller - " + library);
            return;
        }
        bool suspect = false;
        bool unknown = false;
        // A level that the 8-bit layer cannot address may hold the sound
        // server: the library is then unknown.
        auto namesBelow = [&unknown](const std::string& Key) {
            std::vector<TName> names;
            EnumNames(HKEY_CLASSES_ROOT, Key, true, names);
            std::vector<std::string> usable;
            for (const TName& n : names) {
                if (!n.Addressable)
                    unknown = true;
                else if (!IsBlank(n.Ansi))
                    usable.push_back(n.Ansi);
            }
            return usable;
        };
        for (const std::string& version : namesBelow(library)) {
            const std::string versionKey = library + "\\" + version;
            for (const std::string& sub : namesBelow(versionKey)) {
                for (int platform = 0; platform < (win64 ? 2 : 1); ++platform) {
                    const std::string key =
                        versionKey + "\\" + sub + (platform == 0 ? "\\win32" : "\\win64");
                    std::string text;
                    if (!ReadText(HKEY_CLASSES_ROOT, key, "", text) || IsBlank(text))
                        continue;
                    TFileState state = TestLibraryFile(text, platform == 0 ? PassView() : kView64);
                    if (state == TFileState::Exists)
                        return;
                    if (state == TFileState::Missing &&
                        !WideTextMatches(HKEY_CLASSES_ROOT, key, "", text))
                        state = TFileState::Unknown;
                    if (state == TFileState::Missing) {
                        qvLog("TypeLib server does not exists: " + text);
                        suspect = true;
                    } else {
                        unknown = true;
                    }
                }
            }
        }
        if (suspect && !unknown)
            AddFinding(HKEY_CLASSES_ROOT, library, "", false, true,
                       "TypeLib server does not exist!");
    };
    RunViewPasses(*this, "TypeLib", false, [&] {
        return WalkNames(*this, HKEY_CLASSES_ROOT, kTypeLibArea, true, testLibrary);
    });
}

void TqvItemsUninstall::Scan()
{
    qvLog("Scan type: UNINSTALL");
    auto testEntry = [this](const std::string& Name) {
        const std::string key = std::string(kUninstallArea) + Name;
        std::string text;
        if (!ReadText(HKEY_LOCAL_MACHINE, key, "UninstallString", text) || IsBlank(text))
            return;
        if (TestCommandLine(text, PassView()) != TFileState::Missing ||
            !WideTextMatches(HKEY_LOCAL_MACHINE, key, "UninstallString", text))
            return;
        AddFinding(HKEY_LOCAL_MACHINE, key, "", false, true, "Uninstaller does not exist: " + text);
    };
    RunViewPasses(*this, "key", true, [&] {
        return WalkNames(*this, HKEY_LOCAL_MACHINE, kUninstallArea, true, testEntry);
    });
}

void TqvItemsSharedDll::Scan()
{
    qvLog("Scan type: SharedDLL");
    auto testValue = [this](const std::string& Name) {
        std::string path;
        if (ResolveExecutablePath(Name, PassView(), path) ||
            MissOrUnknown(Trim(Name)) != TFileState::Missing)
            return;
        AddFinding(HKEY_LOCAL_MACHINE, kSharedDllsArea, Name, true, false,
                   "SharedDll does not exist: " + Name);
    };
    RunViewPasses(*this, "key", true, [&] {
        return WalkNames(*this, HKEY_LOCAL_MACHINE, kSharedDllsArea, false, testValue);
    });
}

void TqvItemsMUICache::Scan()
{
    qvLog("Scan type: MUICache");
    struct TCacheKey {
        HKEY Root;
        std::string Key;
    };
    std::vector<TCacheKey> keys;
    // The cache is read where the process's own view puts it.
    TRegViewScope noView(false, false);
    if (!IsVistaOrLater()) {
        keys.push_back({HKEY_CURRENT_USER, kMuiCacheBeforeVista});
    } else {
        keys.push_back({HKEY_CLASSES_ROOT, kMuiCacheVista});
        if (GetWinVersion() >= TWinVersion::WS2008R2) {
            const std::string w7 = FindMuiCacheKey();
            if (!w7.empty()) {
                qvLog("W7 MUICache key: " + w7);
                keys.push_back({HKEY_CLASSES_ROOT, w7});
            }
        }
    }
    PassFlag = 0;
    Position = 0;
    Maximum = static_cast<int32_t>(keys.size());
    for (const TCacheKey& cache : keys) {
        auto testValue = [this, &cache](const std::string& Name) {
            const std::string lower = LowerCase(Trim(Name));
            if (lower == "languagelist" || lower == "langid")
                return;
            const std::string file = MuiCacheValueToFile(Name);
            if (IsBlank(file))
                return;
            std::string path;
            if (ResolveExecutablePath(file, kViewBoth, path) ||
                MissOrUnknown(file) != TFileState::Missing)
                return;
            AddFinding(cache.Root, cache.Key, Name, true, false,
                       "MUI file does not exist: " + file);
        };
        if (!WalkNames(*this, cache.Root, cache.Key, false, testValue))
            return;
        StepProgress();
    }
}

void TqvItemsAppPaths::Scan()
{
    qvLog("Scan type: AppPaths");
    ownerTest_ = IsVistaOrLater();
    auto testEntry = [this](const std::string& Name) {
        const std::string key = std::string(kAppPathsArea) + "\\" + Name;
        if (OwnedByTrustedInstaller(HKEY_LOCAL_MACHINE, key)) {
            qvLog("TrustedInstaller - " + key);
            return;
        }
        std::string text;
        if (!ReadText(HKEY_LOCAL_MACHINE, key, "", text) || IsBlank(text))
            return;
        if (TestCommandLine(text, PassView()) != TFileState::Missing ||
            !WideTextMatches(HKEY_LOCAL_MACHINE, key, "", text))
            return;
        AddFinding(HKEY_LOCAL_MACHINE, key, "", false, false, "AppPath does not exist: " + text);
    };
    RunViewPasses(*this, "key", true, [&] {
        return WalkNames(*this, HKEY_LOCAL_MACHINE, kAppPathsArea, true, testEntry);
    });
}

// ---------------------------------------------------------------------------
// Factories of the catalogue's items types

std::unique_ptr<TqvItems> CreateItemsCLSID(TqvMain* Owner)
{
    return std::make_unique<TqvItemsCLSID>(Owner);
}
std::unique_ptr<TqvItems> CreateItemsInterfaces(TqvMain* Owner)
{
    return std::make_unique<TqvItemsInterfaces>(Owner);
}
std::unique_ptr<TqvItems> CreateItemsTypelib(TqvMain* Owner)
{
    return std::make_unique<TqvItemsTypelib>(Owner);
}
std::unique_ptr<TqvItems> CreateItemsUninstall(TqvMain* Owner)
{
    return std::make_unique<TqvItemsUninstall>(Owner);
}
std::unique_ptr<TqvItems> CreateItemsSharedDll(TqvMain* Owner)
{
    return std::make_unique<TqvItemsSharedDll>(Owner);
}
std::unique_ptr<TqvItems> CreateItemsMUICache(TqvMain* Owner)
{
    return std::make_unique<TqvItemsMUICache>(Owner);
}
std::unique_ptr<TqvItems> CreateItemsAppPaths(TqvMain* Owner)
{
    return std::make_unique<TqvItemsAppPaths>(Owner);
}
