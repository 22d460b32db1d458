#pragma once
// The archive facade over a registry of archive types. The self-update opens a
// downloaded file with it, lists the entries and unpacks them:
//     TArchive archive(file); archive.SetArchiveType(kArchiveTypeCAB);
//     archive.LoadArchiveContents(&list); archive.DecompressToDir(dir, "", true);
//
// The facade reports through its Boolean results and LastError (cleared at
// the start of each operation). Failures inside the cabinet layer (a missing
// cabinet.dll, an unreadable file, a failed FDICopy, a bad header) are raised
// as exceptions (ESTCabinet, ESystemError) and reach the caller.
//
// Entry names are never trusted: an archive with any name that could leave
// the target folder is refused whole before anything is deleted or written.

#include "platform/ClassesU.h"
#include "platform/StringListU.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TArchive;
class tArchiveFrame;

inline constexpr int32_t kArchiveTypeNone = 0;
inline constexpr int32_t kArchiveTypeCAB = 1;

// The virtual constructor of a handler class.
using TArchiveHandlerClass = std::unique_ptr<tArchiveFrame> (*)(TArchive& Archive);

struct TArchiveInfo {
    int32_t TypeId = 0;
    std::string Name;        // also the file extension, without the dot
    std::string LibraryName; // a library the type needs beside the program; '' for none
    bool Available = false;
    TArchiveHandlerClass HandlerClass = nullptr;
};

// The process-wide registry of archive types, created at first use with type
// 1 "CAB" (no library, always available). Not locked: archives are used from
// the update thread only.
class TArchiveManager {
public:
    static TArchiveManager& Instance();

    // A type with a LibraryName is available only when that file exists in the
    // program's folder. A TypeId registered again is replaced.
    void RegisterArchiveType(int32_t TypeId, TArchiveHandlerClass HandlerClass,
                             const std::string& Name, const std::string& LibraryName);
    // -1 when the type is not registered.
    int IndexOf(int32_t TypeId) const;
    const TArchiveInfo* Find(int32_t TypeId) const;
    // The available type whose "." + Name equals the upper-cased extension of
    // FileName; kArchiveTypeNone when none.
    int32_t TypeForFileName(const std::string& FileName) const;
    // A new handler of the type's class; nullptr when the type is unknown or
    // the class makes none.
    std::unique_ptr<tArchiveFrame> CreateHandler(int32_t TypeId, TArchive& Archive) const;
    const std::vector<TArchiveInfo>& Types() const { return types_; }

private:
    TArchiveManager();
    std::vector<TArchiveInfo> types_;
};

// The base of the handlers. Initialisation runs once, before the first reading
// operation; its result is kept. The base reading operations only run it; the
// base adding operations only check AddSupported.
class tArchiveFrame : public TObject {
public:
    explicit tArchiveFrame(TArchive& Archive);
    ~tArchiveFrame() override;
    tArchiveFrame(const tArchiveFrame&) = delete;
    tArchiveFrame& operator=(const tArchiveFrame&) = delete;

    TArchive& Archive() const noexcept { return archive_; }
    bool Initialised() const noexcept { return initialised_; }
    bool StreamSourceSupported = false;
    bool AddSupported = false;
    TStringList FileList; // the archive's entries, refilled by each listing

    // Prepares the source; base: clears FileList and succeeds.
    virtual bool Open();
    // Fills List with a copy of the entries.
    virtual bool GetFileList(TStringList& List);
    // Extracts every entry, or the one named by Filter, into Dir.
    virtual bool ExtractAll(const std::string& Dir, const std::string& Filter);
    // Writes the entry named Name into Stream.
    virtual bool ExtractToStream(const std::string& Name, TStream& Stream);
    // Write a new archive at the facade's file (or source stream).
    virtual bool AddFile(const std::string& FileName, const std::string& NameInArchive);
    virtual bool AddFiles(const TStringList& FileNames);
    virtual bool AddStream(TStream& Stream, const std::string& NameInArchive);

protected:
    // Runs the initialisation the first time; later calls give its result
    // again (and its error text). An exception leaves it to run again.
    bool Initialise();
    // Makes the next reading operation initialise again (after writing).
    void Reset() noexcept;
    bool CheckAddSupported();

private:
    bool Fail(const std::string& Message);
    TArchive& archive_;
    bool initialised_ = false;
    bool initDone_ = false;
    std::string initError_;
};

class TArchive : public TObject {
public:
    // The type is chosen from the extension of ArchiveFileName when it is
    // available; otherwise there is no handler. SourceStream, when given, is
    // read instead of the file (not owned; it must outlive the archive).
    explicit TArchive(const std::string& ArchiveFileName, TStream* SourceStream = nullptr);
    ~TArchive() override;
    TArchive(const TArchive&) = delete;
    TArchive& operator=(const TArchive&) = delete;

    // When ArchiveType differs from the current one: frees the handler and
    // creates one of the registered class.
    bool SetArchiveType(int32_t ArchiveType);
    // Clears ResFileNames and fills it with the entry names.
    bool LoadArchiveContents(TStringList* ResFileNames);
    // Extracts all entries (or the one named by Filter) into TargetDir. Files
    // and folders made for entries inherit TargetDir's security: PostProcess
    // grants nobody anything (update files must stay out of every user's
    // reach until the elevated install has run).
    bool DecompressToDir(const std::string& TargetDir, const std::string& Filter, bool PostProcess);
    // Registry lookups: the type's Name (or LibraryName) and whether it is
    // available; an unknown type fails with a LastError.
    std::string ArchiveTypeName(int32_t ArchiveType, bool LibraryName);
    bool ArchiveIsAvailable(int32_t ArchiveType);

    const std::string& ArchiveFileName() const noexcept { return fileName_; }
    TStream* SourceStream() const noexcept { return sourceStream_; }
    int32_t ArchiveType() const noexcept { return archiveType_; }
    tArchiveFrame* Handler() const noexcept { return handler_.get(); }
    // 'Internal error in module "ArchivesClass": ' CR LF 'Function "<routine>" - <message>'.
    const std::string& LastError() const noexcept { return lastError_; }

    // Sets LastError for the running operation (handlers report through it).
    void SetError(const std::string& Message);

private:
    void Begin(const char* Routine);
    bool Fail(const std::string& Message);

    std::string fileName_;
    TStream* sourceStream_;
    int32_t archiveType_ = kArchiveTypeNone;
    std::unique_ptr<tArchiveFrame> handler_;
    std::string lastError_;
    const char* routine_ = "Create";
};
