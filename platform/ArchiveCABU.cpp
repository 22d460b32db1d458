#include "platform/ArchiveCABU.h"

#include "platform/FileUtilsU.h"
#include "platform/SysUtilsU.h"

namespace {

// Entry names compare ignoring case in the user's locale.
bool SameEntryName(const std::string& a, const std::string& b)
{
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(),
                          static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

std::string UnsafeEntryMessage(const std::string& entry, const std::string& archive)
{
    return "Unsafe entry name \"" + entry + "\" in archive \"" + archive + "\"!";
}

// Unregisters a stream and restores the filter when an operation ends.
class TStreamScope {
public:
    TStreamScope(TStream& stream, std::string& filter, std::string& target)
        : name_(tStreamMan::Instance().Register(&stream)), filter_(filter), target_(target),
          oldFilter_(filter), oldTarget_(target)
    {
    }
    ~TStreamScope()
    {
        tStreamMan::Instance().Unregister(name_);
        filter_ = oldFilter_;
        target_ = oldTarget_;
    }
    TStreamScope(const TStreamScope&) = delete;
    TStreamScope& operator=(const TStreamScope&) = delete;
    const std::string& Name() const { return name_; }

private:
    std::string name_;
    std::string& filter_;
    std::string& target_;
    std::string oldFilter_;
    std::string oldTarget_;
};

} // namespace

bool IsSafeEntryName(const std::string& Dir, const std::string& EntryName)
{
    if (EntryName.empty() || Dir.empty() || !EndsWithBackslash(Dir))
        return false;
    std::string name = EntryName;
    for (char& c : name)
        if (c == '/')
            c = '\\';
    if (name[0] == '\\' || name.find(':') != std::string::npos)
        return false;
    for (size_t start = 0;;) {
        const size_t end = name.find('\\', start);
        const std::string part = name.substr(start, end - start);
        if (part.empty() || part == "..")
            return false;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    const std::string full = GetFullPath(Dir + name);
    if (full.size() <= Dir.size() || CompareText(full.substr(0, Dir.size()), Dir) != 0)
        return false;
    // The path the system will use, walked below Dir: a junction or link on the
    // way would carry the write elsewhere.
    std::string path = Dir;
    const std::string rest = full.substr(Dir.size());
    for (size_t start = 0;;) {
        const size_t end = rest.find('\\', start);
        path += rest.substr(start, end - start);
        const DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            break;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return false;
        if (end == std::string::npos)
            break;
        path += '\\';
        start = end + 1;
    }
    return true;
}

tCABArchive::tCABArchive(TArchive& Archive) : tArchiveFrame(Archive)
{
    StreamSourceSupported = true;
    AddSupported = true;
    reader_.OnCopyFile = [this](TSTCabReader&, const std::string& entry, std::string& target,
                                bool&) { OnCopyFile(entry, target); };
    if (Archive.SourceStream())
        streamName_ = tStreamMan::Instance().Register(Archive.SourceStream());
}

tCABArchive::~tCABArchive()
{
    if (!streamName_.empty())
        tStreamMan::Instance().Unregister(streamName_);
}

std::unique_ptr<tArchiveFrame> tCABArchive::Create(TArchive& Archive)
{
    return std::make_unique<tCABArchive>(Archive);
}

std::string tCABArchive::SourceName() const
{
    return streamName_.empty() ? Archive().ArchiveFileName() : streamName_;
}

bool tCABArchive::Open()
{
    FileList.Clear();
    return reader_.IsCabinet(SourceName());
}

bool tCABArchive::GetFileList(TStringList& List)
{
    List.Clear();
    if (!Initialise())
        return false;
    FileList.Clear();
    if (!reader_.IsCabinet(SourceName())) {
        Archive().SetError("Cannot initialize archive \"" + Archive().ArchiveFileName() + "\"!");
        return false;
    }
    ReadCabinetDirectory(SourceName(),
                         [this](const TCabDirectoryEntry& entry) { FileList.Add(entry.Name); });
    for (int i = 0; i < FileList.Count(); ++i)
        List.Add(FileList[i]);
    return true;
}

std::string tCABArchive::TargetFor(const std::string& Dir, const std::string& EntryName) const
{
    if (!FilterName.empty() && !TargetName.empty() && SameEntryName(EntryName, FilterName)) {
        if (tStreamMan::Instance().IsStreamName(TargetName) ||
            TargetName.find(':') != std::string::npos || TargetName.rfind("\\\\", 0) == 0)
            return TargetName;
        return Dir + TargetName;
    }
    return Dir + EntryName;
}

void tCABArchive::OnCopyFile(const std::string& EntryName, std::string& Target)
{
    if (!FilterName.empty() && !SameEntryName(EntryName, FilterName)) {
        Target.clear();
        return;
    }
    if (FilterName.empty() || TargetName.empty()) {
        if (!IsSafeEntryName(extractDir_, EntryName)) {
            refused_.push_back(EntryName);
            Target.clear();
            return;
        }
    }
    Target = TargetFor(extractDir_, EntryName);
    ++written_;
}

bool tCABArchive::Extract(const std::string& Dir)
{
    refused_.clear();
    written_ = 0;
    extractDir_ = Dir;
    reader_.Extract(SourceName(), Dir, 0);
    if (!refused_.empty()) {
        Archive().SetError(UnsafeEntryMessage(refused_.front(), Archive().ArchiveFileName()));
        return false;
    }
    return true;
}

bool tCABArchive::ExtractAll(const std::string& Dir, const std::string& Filter)
{
    TStringList names;
    if (!GetFileList(names))
        return false;
    const std::string full = GetFullPath(Dir);
    if (full.empty()) {
        Archive().SetError("Cannot use the folder \"" + Dir + "\"!");
        return false;
    }
    const std::string dir = IncludeTrailingBackslash(full);
    // Every name is judged before anything is deleted or written.
    for (int i = 0; i < names.Count(); ++i)
        if (!IsSafeEntryName(dir, names[i])) {
            Archive().SetError(UnsafeEntryMessage(names[i], Archive().ArchiveFileName()));
            return false;
        }
    FilterName = Filter;
    // Only the files this extraction will write are cleared away; a read-only
    // one stays, and the copy step decides on it.
    for (int i = 0; i < names.Count(); ++i) {
        if (!Filter.empty() && !SameEntryName(names[i], Filter))
            continue;
        const std::string target = TargetFor(dir, names[i]);
        if (!tStreamMan::Instance().IsStreamName(target) && FileExistsEx(target))
            DeleteFileA(target.c_str());
    }
    return Extract(dir);
}

bool tCABArchive::ExtractToStream(const std::string& Name, TStream& Stream)
{
    if (!Initialise())
        return false;
    TStreamScope scope(Stream, FilterName, TargetName);
    FilterName = Name;
    TargetName = scope.Name();
    Extract(std::string());
    return written_ > 0;
}

bool tCABArchive::WriteCabinet(const std::vector<std::pair<std::string, std::string>>& Items)
{
    writer_.Create(SourceName());
    for (const auto& [source, name] : Items)
        writer_.AddFile(source, name);
    writer_.Flush();
    // The source has changed: the next reading operation looks at it afresh.
    Reset();
    return true;
}

bool tCABArchive::AddFile(const std::string& FileName, const std::string& NameInArchive)
{
    return WriteCabinet(
        {{FileName, NameInArchive.empty() ? ExtractFileName(FileName) : NameInArchive}});
}

bool tCABArchive::AddFiles(const TStringList& FileNames)
{
    std::vector<std::pair<std::string, std::string>> items;
    for (int i = 0; i < FileNames.Count(); ++i)
        items.emplace_back(FileNames[i], ExtractFileName(FileNames[i]));
    return WriteCabinet(items);
}

bool tCABArchive::AddStream(TStream& Stream, const std::string& NameInArchive)
{
    std::string filter;
    std::string target;
    TStreamScope scope(Stream, filter, target);
    return WriteCabinet({{scope.Name(), NameInArchive}});
}
