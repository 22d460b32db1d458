#pragma once
// Targets of shell shortcut (.lnk) files, for the start-up scanners.

#include <string>

// '' unless FileName (system code page) is an existing file whose extension,
// upper-cased, is ".LNK". Otherwise the link's stored path, read through the
// shell link object without resolving it (no search for a moved target).
// With WithArguments the result is '"' + path + '" ' + arguments; the blank
// is there even when the link has no arguments, since callers split at it.
// The calling thread must have initialised COM; without it, and for any
// file the shell cannot load, the answer is ''. Never raises.
std::string GetShortcutTarget(const std::string& FileName, bool WithArguments);
// The same read and answered wide: the target as the link stores it, also
// where the system code page cannot hold it.
std::wstring GetShortcutTargetW(const std::wstring& FileName, bool WithArguments);
