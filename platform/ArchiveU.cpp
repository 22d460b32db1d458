#include "platform/ArchiveU.h"

#include "platform/ArchiveCABU.h"
#include "platform/FileUtilsU.h"
#include "platform/LogU.h"
#include "platform/SysUtilsU.h"

namespace {

constexpr char kNotInitialised[] = "Archives Class is not initialized to specific type!";
constexpr char kTypeNotAvailable[] = "required ArchiveType is not available!";
constexpr char kCreateInstanceError[] = "Create Instance of archive error!";
constexpr char kListIsNil[] = "parameter ResFileNames (tStrings) is nil!";
constexpr char kTargetDirEmpty[] = "parameter TargetDit (string) is empty!";
constexpr char kUnknownType[] = "unknown value in parameter AArchiveType!";

std::string Quoted(const std::string& text)
{
    std::string quoted(1, '"');
    quoted += text;
    quoted += '"';
    return quoted;
}

// The extension of a file name with its dot ('' when none).
std::string ExtensionOf(const std::string& fileName)
{
    const size_t dot = LastDelimiter(fileName, ".\\:");
    if (dot == std::string::npos || fileName[dot] != '.')
        return {};
    return fileName.substr(dot);
}

} // namespace

// ---------------------------------------------------------------------------
// TArchiveManager

TArchiveManager::TArchiveManager()
{
    RegisterArchiveType(kArchiveTypeCAB, &tCABArchive::Create, "CAB", "");
}

TArchiveManager& TArchiveManager::Instance()
{
    static TArchiveManager instance;
    return instance;
}

void TArchiveManager::RegisterArchiveType(int32_t TypeId, TArchiveHandlerClass HandlerClass,
                                          const std::string& Name, const std::string& LibraryName)
{
    TArchiveInfo info;
    info.TypeId = TypeId;
    info.Name = Name;
    info.LibraryName = LibraryName;
    info.HandlerClass = HandlerClass;
    info.Available = LibraryName.empty() || FileExistsEx(GetApplicationDir() + LibraryName);
    const int index = IndexOf(TypeId);
    if (index >= 0)
        types_[static_cast<size_t>(index)] = std::move(info);
    else
        types_.push_back(std::move(info));
}

int TArchiveManager::IndexOf(int32_t TypeId) const
{
    for (size_t i = 0; i < types_.size(); ++i)
        if (types_[i].TypeId == TypeId)
            return static_cast<int>(i);
    return -1;
}

const TArchiveInfo* TArchiveManager::Find(int32_t TypeId) const
{
    const int index = IndexOf(TypeId);
    return index < 0 ? nullptr : &types_[static_cast<size_t>(index)];
}

int32_t TArchiveManager::TypeForFileName(const std::string& FileName) const
{
    const std::string extension = UpperCase(ExtensionOf(FileName));
    if (extension.empty())
        return kArchiveTypeNone;
    for (const TArchiveInfo& info : types_)
        if (info.Available && extension.size() == info.Name.size() + 1 &&
            extension.compare(1, std::string::npos, UpperCase(info.Name)) == 0)
            return info.TypeId;
    return kArchiveTypeNone;
}

std::unique_ptr<tArchiveFrame> TArchiveManager::CreateHandler(int32_t TypeId,
                                                              TArchive& Archive) const
{
    const TArchiveInfo* info = Find(TypeId);
    if (!info || !info->HandlerClass)
        return nullptr;
    return info->HandlerClass(Archive);
}

// ---------------------------------------------------------------------------
// tArchiveFrame

tArchiveFrame::tArchiveFrame(TArchive& Archive) : archive_(Archive) {}

tArchiveFrame::~tArchiveFrame() = default;

bool tArchiveFrame::Fail(const std::string& Message)
{
    initError_ = Message;
    archive_.SetError(Message);
    return false;
}

bool tArchiveFrame::Initialise()
{
    if (initDone_) {
        if (!initialised_)
            archive_.SetError(initError_);
        return initialised_;
    }
    const std::string& name = archive_.ArchiveFileName();
    bool ok = false;
    std::string error;
    if (archive_.SourceStream()) {
        if (!StreamSourceSupported) {
            const TArchiveInfo* info = TArchiveManager::Instance().Find(archive_.ArchiveType());
            error =
                "Source stream is not supported (" + Quoted(info ? info->Name : "") + " archive)!";
        } else if (!(ok = Open())) {
            error = "Cannot initialize archive " + Quoted(name) + "!";
        }
    } else if (!FileExistsEx(name)) {
        error = "File " + Quoted(name) + " does not exist!";
    } else {
        HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            error = "Cannot open file " + std::to_string(GetLastError()) + " " + Quoted(name) + "!";
        } else {
            CloseHandle(h);
            if (!(ok = Open()))
                error = "Cannot initialize archive " + Quoted(name) + "!";
        }
    }
    initDone_ = true;
    initialised_ = ok;
    if (!ok)
        return Fail(error);
    return true;
}

void tArchiveFrame::Reset() noexcept
{
    initDone_ = false;
    initialised_ = false;
    initError_.clear();
}

bool tArchiveFrame::CheckAddSupported()
{
    if (AddSupported)
        return true;
    const TArchiveInfo* info = TArchiveManager::Instance().Find(archive_.ArchiveType());
    archive_.SetError("Adding to archive is not supported (" + Quoted(info ? info->Name : "") +
                      " archive)!");
    return false;
}

bool tArchiveFrame::Open()
{
    FileList.Clear();
    return true;
}

bool tArchiveFrame::GetFileList(TStringList& List)
{
    (void)List;
    return Initialise();
}

bool tArchiveFrame::ExtractAll(const std::string& Dir, const std::string& Filter)
{
    (void)Dir;
    (void)Filter;
    return Initialise();
}

bool tArchiveFrame::ExtractToStream(const std::string& Name, TStream& Stream)
{
    (void)Name;
    (void)Stream;
    return Initialise();
}

bool tArchiveFrame::AddFile(const std::string& FileName, const std::string& NameInArchive)
{
    (void)FileName;
    (void)NameInArchive;
    return CheckAddSupported();
}

bool tArchiveFrame::AddFiles(const TStringList& FileNames)
{
    (void)FileNames;
    return CheckAddSupported();
}

bool tArchiveFrame::AddStream(TStream& Stream, const std::string& NameInArchive)
{
    (void)Stream;
    (void)NameInArchive;
    return CheckAddSupported();
}

// ---------------------------------------------------------------------------
// TArchive

TArchive::TArchive(const std::string& ArchiveFileName, TStream* SourceStream)
    : fileName_(ArchiveFileName), sourceStream_(SourceStream)
{
    TArchiveManager& manager = TArchiveManager::Instance();
    const int32_t type = manager.TypeForFileName(ArchiveFileName);
    if (type != kArchiveTypeNone) {
        handler_ = manager.CreateHandler(type, *this);
        if (handler_)
            archiveType_ = type;
    }
}

TArchive::~TArchive() = default;

void TArchive::Begin(const char* Routine)
{
    routine_ = Routine;
    lastError_.clear();
}

void TArchive::SetError(const std::string& Message)
{
    lastError_ = std::string("Internal error in module \"ArchivesClass\": \r\nFunction \"") +
                 routine_ + "\" - " + Message;
}

bool TArchive::Fail(const std::string& Message)
{
    SetError(Message);
    return false;
}

bool TArchive::SetArchiveType(int32_t ArchiveType)
{
    Begin("SetArchiveType");
    if (ArchiveType == archiveType_ && handler_)
        return true;
    TArchiveManager& manager = TArchiveManager::Instance();
    const TArchiveInfo* info = manager.Find(ArchiveType);
    if (!info || !info->Available)
        return Fail(kTypeNotAvailable);
    handler_.reset();
    archiveType_ = kArchiveTypeNone;
    handler_ = manager.CreateHandler(ArchiveType, *this);
    if (!handler_)
        return Fail(kCreateInstanceError);
    archiveType_ = ArchiveType;
    return true;
}

bool TArchive::LoadArchiveContents(TStringList* ResFileNames)
{
    Begin("LoadArchiveContents");
    if (!ResFileNames)
        return Fail(kListIsNil);
    ResFileNames->Clear();
    if (!handler_)
        return Fail(kNotInitialised);
    return handler_->GetFileList(*ResFileNames);
}

bool TArchive::DecompressToDir(const std::string& TargetDir, const std::string& Filter,
                               bool PostProcess)
{
    (void)PostProcess;
    Begin("DecompressToDir");
    if (!handler_)
        return Fail(kNotInitialised);
    if (TargetDir.empty())
        return Fail(kTargetDirEmpty);
    return handler_->ExtractAll(TargetDir, Filter);
}

std::string TArchive::ArchiveTypeName(int32_t ArchiveType, bool LibraryName)
{
    Begin("ArchiveTypeName");
    const TArchiveInfo* info = TArchiveManager::Instance().Find(ArchiveType);
    if (!info) {
        Fail(kUnknownType);
        return {};
    }
    return LibraryName ? info->LibraryName : info->Name;
}

bool TArchive::ArchiveIsAvailable(int32_t ArchiveType)
{
    Begin("ArchiveIsAvailable");
    const TArchiveInfo* info = TArchiveManager::Instance().Find(ArchiveType);
    if (!info)
        return Fail(kUnknownType);
    return info->Available;
}
