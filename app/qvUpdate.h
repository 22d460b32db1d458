#pragma once
// Self-update: the update list a check hands over, and the installation of
// a downloaded file into the program folder.
//
// The list has one line per file: URL TAB size in bytes TAB SHA-256 (64
// hexadecimal digits; for a cabinet, of the cabinet). An update runs the
// elevated program's new files, so a list counts only when every address in
// it, and the one it came from, is https (or http to 127.0.0.1, the tests'
// stand-in), every line carries a valid size and digest, and every file name
// is a plain base name.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TUpdateEntry {
    std::string URL;
    int64_t Size = 0;
    std::string Sha256; // lower case
    std::string FileName; // UrlFileName(URL)
};

// [A-Za-z0-9_.-]{1,64}, without "..", and not a device name (CON, PRN, AUX,
// NUL, COM1-9, LPT1-9, with or without an extension).
bool IsPlainUpdateName(std::string_view Name);
// https://..., or http://127.0.0.1 (with or without a port) followed by "/".
bool IsTrustedUpdateURL(std::string_view URL);
// The entries of List (blank lines skipped) when the whole list passes the
// rules above; false, Entries untouched, when any line or SourceURL fails.
bool ParseUpdateList(const std::string& List, const std::string& SourceURL,
                     std::vector<TUpdateEntry>& Entries);

// Puts a downloaded file in place: a ".cab" (any case) is opened and its
// entries, every name checked before anything is extracted, go to the
// update folder and are installed one by one; any other file is installed
// itself. A file is installed by copying it beside its target as ".new" and
// swapping that in (SwapUpdatedFile); a target in use keeps the ".new" copy
// for "/completeupdate" (the update-pending flag). A ".new" copy that cannot
// be made keeps the downloaded file and fails that file. The downloaded file
// (and the extracted ones that were put in place) are deleted. True when
// every file is in place or waits as ".new"; nothing happens for a missing
// File (false).
bool InstallUpdateFile(const std::string& File);
