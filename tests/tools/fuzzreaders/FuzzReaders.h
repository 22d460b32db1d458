#pragma once
// The readers the fuzzer drives, one table row each, and the sandbox they run
// in: a folder and a registry key of the worker process's own. The program's
// folders point into the folder, and the registry roots (HKCR, HKCU, HKLM,
// HKU, HKCC) are redirected into the key for the whole process, so whatever a
// reader writes lands there and is seen: a read-only reader must leave both
// as they were, and not even the backup restore can reach the prefix's
// registry.

#include "FuzzMutator.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// One file or folder of the sandbox folder as a snapshot sees it.
struct TDiskEntry {
    std::string Path; // below the sandbox folder
    uint64_t Size = 0;
    uint64_t WriteTime = 0;
    DWORD Attributes = 0;
    bool operator==(const TDiskEntry&) const = default;
};

class TSandbox {
public:
    TSandbox() = default;
    TSandbox(const TSandbox&) = delete;
    TSandbox& operator=(const TSandbox&) = delete;
    ~TSandbox();

    // C:\ktest-scratch\fuzzreaders.<Pid>\ and HKCU\Software\Korvelle.Test.fuzzreaders.<Pid>.
    static std::string FolderOf(DWORD Pid);
    static std::wstring KeyOf(DWORD Pid);
    // Removes what a worker left (the supervisor calls it once the worker
    // has ended, however it ended).
    static void Remove(DWORD Pid);

    // Makes the folder and the key of this process, points the program's
    // folders into the folder and redirects the registry roots.
    bool Open();
    // Undoes the redirections and removes both.
    void Close();

    const std::string& Dir() const noexcept { return dir_; }
    std::string Path(std::string_view Relative) const { return dir_ + std::string(Relative); }

    // One look at every watch: the registry or a folder has a change notice
    // waiting (RegistryChanged and DiskNotices tell which).
    bool AnyChange() const;
    // Anything in the redirected registry changed since the last reset.
    bool RegistryChanged() const;
    // Empties the redirected roots (unless told to keep what they hold) and
    // watches them again.
    void ResetRegistry(bool Empty = true);
    // The first few keys and values in the redirected roots, for a report.
    std::string RegistryContent() const;

    // Every file and folder below the sandbox folder, sorted by path.
    std::vector<TDiskEntry> Snapshot() const;
    // Writes a file below the sandbox folder in place; with KeepOpen its
    // handle stays open for the next write (readers open their files sharing
    // writes; a reader that replaces its file needs a new handle each time).
    // False when it could not be written.
    bool WriteFile(const std::string& Relative, const std::string& Bytes, bool KeepOpen);
    // The paths (below the sandbox folder) named by the change notices that
    // arrived since the last call: one watch per folder that existed when the
    // sandbox was opened. Notices arrive a moment after the change, so a
    // change may show one call late; "?" stands for notices that were lost.
    std::vector<std::string> DiskNotices();

private:
    struct TFolderWatch {
        std::string Relative; // with its trailing backslash; '' for the sandbox folder
        HANDLE Folder = INVALID_HANDLE_VALUE;
        OVERLAPPED Overlapped{};
        std::vector<DWORD> Buffer; // DWORD-aligned, as the notices must be
    };
    void WatchRegistry();
    void WatchDisk();
    static void Arm(TFolderWatch& Watch);

    std::string dir_;
    HKEY key_ = nullptr;
    std::vector<HKEY> roots_; // the sandbox keys the registry roots point to
    HANDLE changed_ = nullptr;
    std::vector<TFolderWatch> folders_;
    std::vector<HANDLE> events_;                       // changed_ and each folder's event
    std::vector<std::pair<std::string, HANDLE>> kept_; // input files held open
    bool open_ = false;
};

// What a reader may change while it reads.
enum class TWrites : uint8_t {
    Nothing,  // neither the disk nor the registry
    OwnFile,  // only its own file (OwnFile of the row), not the registry
    Registry, // the registry (the sandbox's), nothing on disk
};

struct TReader {
    const char* Name;  // the seed folder and the evidence folder
    const char* Entry; // what one input goes through, as the program calls it
    TShape Shape;
    size_t MaxInput; // the most a caller hands the reader
    // The allocation cap of one input: CapBase + CapPerByte * its size.
    int64_t CapBase;
    int64_t CapPerByte;
    const char* InputFile; // below the sandbox folder; nullptr: the input is handed in memory
    TWrites Writes;
    const char* OwnFile; // below the sandbox folder (OwnFile readers)
    std::vector<std::string> Dictionary;
    // Once per worker, before the first input.
    void (*Prepare)(TSandbox& Sandbox);
    // One input through the reader's entry; '' or what the result broke.
    // Taken: the reader read the input through and acted on it (a catalogue
    // loaded, a backup restored, a query accepted), as opposed to refusing it.
    std::string (*Run)(TSandbox& Sandbox, const std::string& Input, bool& Taken);
    // The reader opens its file sharing writes, so the input's file can stay
    // open between inputs; a reader that shares only reads gets it closed.
    bool SharesWrites = true;
    // The processor time one input may take. A reader whose work grows with
    // what its limits let through (a picture decoded and drawn at the largest
    // size allowed) gets that work's time, measured on a loaded machine.
    double SlowMs = 1000;
};

// The input's file is written through a handle kept open between inputs.
inline bool KeepsInputOpen(const TReader& Reader)
{
    return Reader.Writes != TWrites::OwnFile && Reader.SharesWrites;
}

const std::vector<TReader>& Readers();
const TReader* FindReader(std::string_view Name);

int64_t AllocationCap(const TReader& Reader, size_t InputSize);

// Writes the picture seeds (folders "png" and "pnganchor" below Folder, which
// ends in a backslash); false when one could not be made or written.
bool WritePictureSeeds(const std::string& Folder);

} // namespace fuzz
