#pragma once
// The archive type "CAB": Microsoft cabinet files through cabinet.dll. Reads
// from a file or from the facade's source stream (registered with the stream
// manager while the handler lives), and writes a new cabinet with the three
// adding operations.
//
// Extraction refuses the whole archive, before anything is deleted or
// written, when any entry name is absolute or rooted, holds ":" or a ".."
// component ("/" counts as "\"), resolves outside the target folder, or
// passes through an existing reparse point (junction or link) below it. The
// copy step checks again (cabinets later in a set hold names the listing never
// saw): such an entry is skipped and the extraction fails.

#include "platform/ArchiveU.h"
#include "platform/CabSTComps2.h"

#include <string>
#include <vector>

class tCABArchive : public tArchiveFrame {
public:
    explicit tCABArchive(TArchive& Archive);
    ~tCABArchive() override;

    static std::unique_ptr<tArchiveFrame> Create(TArchive& Archive);

    // With FilterName set only the entry of that name (case ignored, user
    // locale) is extracted; TargetName then renames it: a registered stream
    // name, an absolute path, or a name in the target folder.
    std::string FilterName;
    std::string TargetName;

    TSTCabReader& Reader() noexcept { return reader_; }
    TSTCabWriter& Writer() noexcept { return writer_; }

    bool Open() override;
    bool GetFileList(TStringList& List) override;
    bool ExtractAll(const std::string& Dir, const std::string& Filter) override;
    bool ExtractToStream(const std::string& Name, TStream& Stream) override;
    bool AddFile(const std::string& FileName, const std::string& NameInArchive) override;
    bool AddFiles(const TStringList& FileNames) override;
    bool AddStream(TStream& Stream, const std::string& NameInArchive) override;

private:
    // The file path, or the source stream's registered name.
    std::string SourceName() const;
    std::string TargetFor(const std::string& Dir, const std::string& EntryName) const;
    void OnCopyFile(const std::string& EntryName, std::string& Target);
    bool Extract(const std::string& Dir);
    bool WriteCabinet(const std::vector<std::pair<std::string, std::string>>& Items);

    TSTCabReader reader_;
    TSTCabWriter writer_;
    std::string streamName_;
    std::string extractDir_;
    std::vector<std::string> refused_;
    int written_ = 0;
};

// Whether EntryName, appended to Dir (a full path ending in a backslash), stays
// inside Dir: not empty, not rooted, no ":", no ".." or empty component ("/"
// counts as "\"), a full path under Dir, and no existing reparse point on the
// way below Dir.
bool IsSafeEntryName(const std::string& Dir, const std::string& EntryName);
