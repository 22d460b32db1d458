#include "platform/RecycleBinU.h"

#include "platform/BindingU.h"
#include "platform/UnicodeU.h"

#include <shlobj.h>

// The SDK packs the record to 4 bytes in 32-bit builds only; a hand-declared,
// naturally aligned record would be 24 bytes there and read its counters at
// the wrong offsets.
static_assert(sizeof(SHQUERYRBINFO) == (sizeof(void*) == 4 ? 20 : 24));

namespace {

TRecycleBinCalls g_calls;

HRESULT QueryAllDrives(SHQUERYRBINFO& Info)
{
    Info = {};
    Info.cbSize = sizeof(Info);
    return g_calls.Query ? g_calls.Query(nullptr, &Info) : SHQueryRecycleBinA(nullptr, &Info);
}

} // namespace

void SetRecycleBinCalls(const TRecycleBinCalls& Calls) noexcept
{
    g_calls = Calls;
}

bool IsRecycleBinEmpty()
{
    SHQUERYRBINFO info;
    if (FAILED(QueryAllDrives(info)))
        return true;
    return info.i64NumItems == 0 && info.i64Size == 0;
}

bool QueryRecycleBin(int64_t& Size, int64_t& Count)
{
    SHQUERYRBINFO info;
    if (FAILED(QueryAllDrives(info))) {
        Size = 0;
        Count = 0;
        return false;
    }
    Size = info.i64Size;
    Count = info.i64NumItems;
    return true;
}

bool EmptyRecycleBin(HWND Wnd, bool Confirm, bool ShowProgress, bool PlaySound)
{
    DWORD flags = 0;
    if (!Confirm)
        flags |= SHERB_NOCONFIRMATION;
    if (!ShowProgress)
        flags |= SHERB_NOPROGRESSUI;
    if (!PlaySound)
        flags |= SHERB_NOSOUND;
    HRESULT hr = g_calls.Empty ? g_calls.Empty(Wnd, nullptr, flags)
                               : SHEmptyRecycleBinA(Wnd, nullptr, flags);
    return SUCCEEDED(hr);
}

void UpdateRecycleBinIcon()
{
    using TUpdateIcon = void(WINAPI*)();
    static TBoundProc<TUpdateIcon> pUpdateIcon{Shell32Library(), "SHUpdateRecycleBinIcon"};
    if (auto fn = pUpdateIcon.Get())
        fn();
}

// ---------------------------------------------------------------------------
// The bin's items on the disk

namespace {

std::wstring TakeString(STRRET& Str, PCUITEMID_CHILD Item)
{
    std::wstring text;
    switch (Str.uType) {
    case STRRET_WSTR:
        if (Str.pOleStr)
            text = Str.pOleStr;
        CoTaskMemFree(Str.pOleStr);
        break;
    case STRRET_CSTR:
        text = AnsiToWide(Str.cStr);
        break;
    case STRRET_OFFSET:
        text = AnsiToWide(reinterpret_cast<const char*>(Item) + Str.uOffset);
        break;
    default:
        break;
    }
    return text;
}

bool IsAbsolute(const std::wstring& Path)
{
    return (Path.size() >= 3 && Path[1] == L':' && Path[2] == L'\\') ||
           (Path.size() >= 2 && Path[0] == L'\\' && Path[1] == L'\\');
}

// Wine keeps the bin as a freedesktop trash on the host and maps host paths
// to names the Windows calls take; elsewhere the function is missing.
using TDosFileName = LPWSTR(CDECL*)(LPCSTR);
TBoundProc<TDosFileName> pWineGetDosFileName{Kernel32Library(), "wine_get_dos_file_name"};

std::string EnvironmentUtf8(const wchar_t* Name)
{
    wchar_t buffer[4096] = {};
    const DWORD n = GetEnvironmentVariableW(Name, buffer, 4096);
    return n > 0 && n < 4096 ? Utf8FromWide(buffer) : std::string();
}

std::wstring DosNameOf(const std::string& HostPath)
{
    auto dosName = pWineGetDosFileName.Get();
    if (!dosName)
        return {};
    LPWSTR name = dosName(HostPath.c_str());
    if (!name)
        return {};
    std::wstring out = name;
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

// The host folder of the trash; '' when it is not known.
std::string TrashFolder()
{
    std::string data = EnvironmentUtf8(L"XDG_DATA_HOME");
    if (data.empty()) {
        const std::string home = EnvironmentUtf8(L"HOME");
        if (home.empty())
            return {};
        data = home + "/.local/share";
    }
    return data + "/Trash";
}

bool PlaceEntry(const std::wstring& ParsingName, TRecycleBinEntry& Entry)
{
    if (IsAbsolute(ParsingName)) {
        Entry.Path = ParsingName;
        const size_t slash = ParsingName.find_last_of(L'\\');
        const std::wstring name = ParsingName.substr(slash + 1);
        if (name.size() > 2 && (name.compare(0, 2, L"$R") == 0 || name.compare(0, 2, L"$r") == 0))
            Entry.Record = ParsingName.substr(0, slash + 1) + L"$I" + name.substr(2);
        return true;
    }
    if (ParsingName.empty() || ParsingName.find_first_of(L"\\/") != std::wstring::npos)
        return false;
    const std::string trash = TrashFolder();
    if (trash.empty())
        return false;
    const std::string name = Utf8FromWide(ParsingName);
    Entry.Path = DosNameOf(trash + "/files/" + name);
    Entry.Record = DosNameOf(trash + "/info/" + name + ".trashinfo");
    return !Entry.Path.empty();
}

template <typename T> struct TComRelease {
    T* p = nullptr;
    ~TComRelease()
    {
        if (p)
            p->Release();
    }
};

} // namespace

bool ListRecycleBinEntries(std::vector<TRecycleBinEntry>& Entries)
{
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    bool ok = false;
    {
        TComRelease<IShellFolder> desktop;
        TComRelease<IShellFolder> bin;
        TComRelease<IEnumIDList> items;
        PIDLIST_ABSOLUTE binId = nullptr;
        if (SUCCEEDED(SHGetDesktopFolder(&desktop.p)) &&
            SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_BITBUCKET, &binId)) &&
            SUCCEEDED(desktop.p->BindToObject(binId, nullptr, IID_IShellFolder,
                                              reinterpret_cast<void**>(&bin.p))) &&
            bin.p->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS | SHCONTF_INCLUDEHIDDEN,
                               &items.p) == S_OK &&
            items.p) {
            ok = true;
            std::vector<TRecycleBinEntry> entries;
            PITEMID_CHILD item = nullptr;
            ULONG fetched = 0;
            while (items.p->Next(1, &item, &fetched) == S_OK && item) {
                STRRET str{};
                TRecycleBinEntry entry;
                if (FAILED(bin.p->GetDisplayNameOf(item, SHGDN_FORPARSING, &str)) ||
                    !PlaceEntry(TakeString(str, item), entry))
                    ok = false;
                else
                    entries.push_back(std::move(entry));
                CoTaskMemFree(item);
                item = nullptr;
            }
            if (ok)
                Entries = std::move(entries);
        }
        if (binId)
            CoTaskMemFree(binId);
    }
    if (SUCCEEDED(init))
        CoUninitialize();
    return ok;
}
