#pragma once
// Registry backups: before the fix and the boost categories are repaired, the
// current state of every registry value and key that the repair will change
// is recorded in one backup file per category and run, which the rescue
// centre lists and restores.
//
// The writer is module state with one open backup at a time; the process's
// writer object (DefaultBackupWriter) forwards to it. It is used by one
// worker thread at a time and is not locked.
//
// The file, BackupDir + "fix_" or "boost_" + yyyymmdd_hhnnss (local time) +
// ".xml", is 8-bit text with CR LF line ends and no declaration:
//   <backup type="fix|boost" name="<caption, UTF-8, #-escaped>" date="<date text>">
//       <reg root=.. key=.. name=.. value=.. type=.. [rtype=..] [is64="1"] scan="backup" fix=.. />
//   </backup>
// Entry lines have four leading blanks. "value" lines carry the data as the
// kind's text ("str", "exstr", "mulstr" escaped with their inner NULs as
// "#00", "num" as "$" and 8 upper-case hex digits, "bin" as upper-case hex
// pairs); a value of any other type, or one that its own type cannot hold (a
// DWORD that is not 4 bytes), is "bin" with its raw bytes and rtype = the
// stored type. "del" lines (type "backup", empty value) name what did not
// exist: a value, or a key when the name is empty. A "key" line (type
// "backup", empty name and value) precedes the values of each key a key
// backup visits, so that empty keys come back too. The name is UTF-8 in an
// otherwise 8-bit file on purpose: the caption is wide text.
//
// Backup files feed the elevated restore, which writes HKLM: BackupDir and
// every backup file get the protected security (administrators and SYSTEM
// write, others read). A file is written whole or not at all.

#include "engine/qvClasses.h"
#include "platform/DateTimeU.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// The writer

// Opens a backup of Type (kBackupFix or kBackupBoost) named Name; ignored
// while one is open.
void BeginBackup(uint8_t Type, const std::wstring& Name);
bool IsBackupOpen();
// Records the value Name of Root\Key (the default value when Name is empty)
// in the view of Is64; a missing value gives its "del" line, and a missing
// key also one for its highest missing level (the repair will create them).
// True when recorded (or nothing needs recording: a key without a
// default value); False, recording nothing, when no backup is open, the
// value cannot be read, or a name or text of it does not survive the 8-bit
// code page.
bool BackupRegValue(HKEY Root, const std::string& Key, const std::string& Name, bool Is64);
// Records Root\Key whole: the "key" line, the default value, every other
// value in enumeration order, then every sub-key the same way; a missing key
// gives one "del" line. On any failure (a name or text that the code page
// cannot hold, a name that the 8-bit enumeration lost, a read error) every
// line of this call is dropped and the answer is False.
bool BackupRegKey(HKEY Root, const std::string& Key, bool Is64);
// With lines recorded: creates CommonDataDir and BackupDir and writes the file
// atomically. Then closes the backup and saves the clean report when it
// changed. False only when the file had to be written and was not.
bool EndBackup();

// The process's backup writer: the functions above.
TqvBackupWriter* DefaultBackupWriter();

// The file name part "fix_20240131_235959.xml" for a type and a local time.
std::string BackupFileName(uint8_t Type, TDateTime When);
// The header date: the user's short date and long time format.
std::string BackupDateText(TDateTime When);

// ---------------------------------------------------------------------------
// Reading and restoring

// One backup file. Create reads the header only.
class TqvBackup : public TObject {
public:
    // Reads FileName's header: the caption (escape undone, UTF-8 decoded), the
    // date text and the type ("fix" 1, "boost" 2, else 0). A file that is
    // missing, not a complete XML document (cut short) or without the root
    // "backup" is type 0.
    explicit TqvBackup(const std::string& FileName);

    std::string FileName;
    uint8_t Type = 0;
    std::wstring Caption;
    std::wstring Date;
    std::vector<std::unique_ptr<TqvRegItem>> RestoreItems;
    // Newest first in the lists: the stamp of the file name, else its last
    // write time (local).
    TDateTime SortTime = 0;

    struct TResult {
        int Applied = 0;
        int Failed = 0;
    };
    // Every "reg" line in file order: an entry with scan "backup" and a fix is
    // applied in its recorded view (a "del" of what is already absent counts
    // as applied); a line that gives no such entry, and every write or delete
    // that fails, counts as failed, and the restore goes on. Nothing happens
    // for a file of type 0; a file (or folder) that is not trusted
    // (IsTrustedFile) is not applied at all and counts one failure.
    TResult Restore();
};

// The backups in BackupDir, fix and boost apart, each list newest first.
class TqvBackups : public TObject {
public:
    std::vector<std::unique_ptr<TqvBackup>> FixBackups;
    std::vector<std::unique_ptr<TqvBackup>> BoostBackups;

    // Every "*.xml" file of BackupDir (the clean report and files of type 0
    // are left out), after CommonDataDir and BackupDir got their protection
    // again (ProtectFolder).
    void Load();
    // The same for another folder (with its trailing backslash). Nothing is
    // listed from a folder that is not trusted (IsTrustedPath), and no file
    // that is not; each refusal is logged.
    void LoadFrom(const std::string& Folder);
};
