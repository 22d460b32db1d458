#pragma once
// Cabinet reader and writer over the FDI and FCI interfaces of cabinet.dll,
// the cabinet exception, the stream name manager that lets the file
// callbacks work on streams, and the reader of a cabinet's directory.
//
// The FDI and FCI callbacks run under cabinet.dll's frames, where a C++
// exception would end the process: each callback catches what it meets,
// returns its failure value, and the exception is raised again once the
// FDI or FCI call has returned.
//
// Paths are 8-bit strings in the system code page (the ...A calls).

#include "platform/CabIntf.h"
#include "platform/ClassesU.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

// An FDI or FCI failure, or a failure of the cabinet layer itself. The message
// of an error record is the code's text, " [0x", the code as 4 upper-case hex
// digits and "]"; with a system error, "." CR LF, the system's text for it
// (FormatMessageA, without its line break), " [0x", 4 hex digits and "].".
class ESTCabinet : public std::runtime_error {
public:
    ESTCabinet(int OperationCode, int SystemError, bool ErrorFlag, bool FromFCI);
    ESTCabinet(const ERF& Error, bool FromFCI);
    // A failure of the layer itself; the message is Text as it stands.
    explicit ESTCabinet(std::string_view Text);

    int OperationCode() const noexcept { return operationCode_; }
    int SystemError() const noexcept { return systemError_; }
    bool ErrorFlag() const noexcept { return errorFlag_; }
    bool FromFCI() const noexcept { return fromFCI_; }

    static std::string MessageFor(int OperationCode, int SystemError, bool FromFCI);

private:
    int operationCode_ = 0;
    int systemError_ = 0;
    bool errorFlag_ = false;
    bool fromFCI_ = false;
};

// Registered streams under the names "Stream_1", "Stream_2", ... that the file
// callbacks open like files. Each handle keeps its own position, so several
// handles on one stream do not disturb each other. Stream handles are odd
// numbers and never collide with file handles (kernel handles are multiples
// of 4). The streams are the callers'; unregistering closes their handles.
class tStreamMan {
public:
    static tStreamMan& Instance();

    std::string Register(TStream* Stream);
    void Unregister(const std::string& Name);
    bool IsStreamName(std::string_view Name) const;
    bool IsStreamHandle(INT_PTR Handle) const;
    TStream* StreamOf(std::string_view Name) const;

    // -1 when the name is not registered. Truncate empties the stream.
    INT_PTR Open(std::string_view Name, bool Truncate);
    // Read and Write return the count, or (UINT)-1 on failure; Seek returns the
    // new position or -1; Close returns 0 or -1. Stream errors propagate.
    UINT Read(INT_PTR Handle, void* Buffer, UINT Count);
    UINT Write(INT_PTR Handle, const void* Buffer, UINT Count);
    long Seek(INT_PTR Handle, long Distance, int Origin);
    int Close(INT_PTR Handle);

private:
    tStreamMan() = default;
    // Read and Write: Move works on the handle's stream at the handle's own
    // position, which then moves on by the count Move gives back.
    template <typename Op> UINT Transfer(INT_PTR Handle, Op&& Move);

    struct TOpenStream {
        TStream* Stream = nullptr;
        int64_t Position = 0;
    };

    mutable std::mutex lock_;
    int nextName_ = 1;
    INT_PTR nextHandle_ = 1;
    std::map<std::string, TStream*, std::less<>> names_; // upper-cased name
    std::map<INT_PTR, TOpenStream> handles_;
};

// One entry of a cabinet's directory.
struct TCabDirectoryEntry {
    uint32_t Size = 0;
    uint32_t FolderOffset = 0;
    uint16_t Folder = 0;
    uint16_t Date = 0;
    uint16_t Time = 0;
    uint16_t Attributes = 0;
    std::string Name;
};

// Reads the directory of a cabinet (a file, or a registered stream from its
// start) without FDI, and hands every entry to OnEntry in file order. Reads
// only inside the source, names at most 256 bytes. Raises ESTCabinet with
// "Cabinet file does not have the correct format" (no "MSCF"), "Failure
// setting file stream position" (first-entry offset beyond the size) or
// "Cabinet file is corrupt" (entries beyond the end); a file that cannot be
// opened raises ESystemError.
void ReadCabinetDirectory(const std::string& CabinetName,
                          const std::function<void(const TCabDirectoryEntry&)>& OnEntry);

// Reader flag bit 1: a read-only target is left untouched (its entry is
// skipped); without it the read-only attribute is removed and the entry
// written. Bit 0 has no meaning here: no extracted file is ever started, and
// the reader never stops after the first cabinet of a set.
inline constexpr uint32_t kCabKeepReadOnly = 2;

class TSTCabReader;
// Asked per entry for its target (destination + entry name); emptying Target
// skips the entry, setting Abort cancels the whole copy.
using TCabCopyFileEvent = std::function<void(TSTCabReader& Reader, const std::string& EntryName,
                                             std::string& Target, bool& Abort)>;

// Extracts cabinets through FDI. Owns the FDI context (made at the first call).
class TSTCabReader : public TObject {
public:
    TSTCabReader();
    ~TSTCabReader() override;
    TSTCabReader(const TSTCabReader&) = delete;
    TSTCabReader& operator=(const TSTCabReader&) = delete;

    uint32_t Flags = 0;
    TCabCopyFileEvent OnCopyFile;

    // FDIIsCabinet on a handle opened through the file callbacks. A file (or
    // stream name) that cannot be opened raises ESystemError.
    bool IsCabinet(const std::string& CabinetName);
    // Extracts CabinetName (made absolute unless a stream name) and the
    // cabinets that follow it in its set into Destination, each entry to the
    // target OnCopyFile gives. A failed FDICopy raises ESTCabinet.
    void Extract(const std::string& CabinetName, const std::string& Destination,
                 uint32_t ExtractFlags);

    const ERF& Error() const noexcept { return error_; }
    const std::string& Destination() const noexcept { return destination_; }

private:
    HFDI Context();
    static INT_PTR DIAMONDAPI Notify(FDINOTIFICATIONTYPE Type, PFDINOTIFICATION Info);
    INT_PTR OnNotify(FDINOTIFICATIONTYPE Type, PFDINOTIFICATION Info);

    HFDI context_ = nullptr;
    ERF error_{};
    std::string cabinetPath_; // folder of the cabinet, with trailing backslash
    std::string cabinetName_; // the cabinet FDICopy works on
    std::string destination_; // with trailing backslash
    std::string nextCabinet_;
    bool cabinetInfoSeen_ = false;
    // Open targets: handle -> path ('' for a stream target).
    std::map<INT_PTR, std::string> targets_;
};

// Writes one cabinet through FCI: maximum cabinet and folder size 0x7FFFFFFF,
// disk names "Disk*" and a cabinet name template where "*" stands for the
// cabinet number, LZX compression with window 21. Temporary files are named
// "stc..." in the temporary folder, made by FCI (they never exist before),
// and all removed when the cabinet is done or dropped.
class TSTCabWriter : public TObject {
public:
    TSTCabWriter() = default;
    ~TSTCabWriter() override;
    TSTCabWriter(const TSTCabWriter&) = delete;
    TSTCabWriter& operator=(const TSTCabWriter&) = delete;

    static constexpr uint32_t kMaxSize = 0x7FFFFFFF;
    static constexpr int kLZXWindow = 21;
    uint32_t CompressionType = (kLZXWindow << 8) | tcompTYPE_LZX;

    // Starts a cabinet: a file path, or a registered stream name. Drops an
    // unfinished one first.
    void Create(const std::string& CabinetName);
    // Adds a file (or registered stream) under NameInCabinet.
    void AddFile(const std::string& SourceName, const std::string& NameInCabinet);
    // Writes the cabinet and ends it.
    void Flush();
    bool Active() const noexcept { return context_ != nullptr; }
    // Temporary files handed to FCI and not yet deleted.
    const std::set<std::string>& TemporaryFiles() const noexcept { return temporary_; }

private:
    void Destroy() noexcept;
    void Check(BOOL Result);
    static BOOL DIAMONDAPI GetTempFile(char* Name, int Size, void* Writer);
    static BOOL DIAMONDAPI GetNextCabinet(PCCAB Cab, ULONG PreviousSize, void* Writer);
    static INT_PTR DIAMONDAPI GetOpenInfo(char* Name, USHORT* Date, USHORT* Time,
                                          USHORT* Attributes, int* Err, void* Writer);
    static int DIAMONDAPI Delete(char* Name, int* Err, void* Writer);
    void ApplyTemplate(CCAB& Cab) const;

    HFCI context_ = nullptr;
    ERF error_{};
    CCAB cab_{};
    std::string nameTemplate_;
    std::set<std::string> temporary_;
};
