#pragma once
// The tray's side of the postponed start-up list: once per Windows session it
// starts the programs that the main program's speed-up repair took out of the
// Run keys and Startup folders, one priority level after the other with
// pauses between, so that logon is not slowed by everything starting at once.
// It reads the lists through the engine's reader (the format has one source)
// and never writes them.
//
// Every user's tray runs the all-users list and shortcuts, administrators'
// trays too. Those files are protected by their writer; the runner refuses
// any of them that a user other than an administrator could change.

#include "engine/qvStartup.h"
#include "platform/FileUtilsU.h"

#include <windows.h>

#include <functional>
#include <string>

// Called between waits so that the tray's window keeps answering. False ends
// the run at once (the tray is ending). May be empty.
using TRunnerCallback = std::function<bool()>;

// What the runner does to the outside world; each empty member is the real
// call.
struct TRunnerSeams {
    // A pause: a wait on the current process handle.
    std::function<void(DWORD Ms)> Sleep;
    // WinExec(CommandLine, SW_SHOW); with RedirectionOff the file-system
    // redirection of a 32-bit program on 64-bit Windows is off meanwhile.
    std::function<void(const std::string& CommandLine, bool RedirectionOff)> Exec;
    // Opens a shortcut through the shell ("open", no parameters, no window,
    // no folder).
    std::function<void(const std::string& FileName)> OpenShortcut;
    // The trust test of an all-users file or folder (IsTrustedPath of the
    // platform: no reparse point on the way, owned and writable by
    // administrators only).
    std::function<bool(const std::string& Path)> Trusted;
};

// The whole run: the all-users list, then the user's list, each completely
// with its pauses; then the shortcuts of UserStartupDir, then those of
// CommonStartupDir ("*.lnk", not recursive), each followed by the callback
// and two pauses of 500 ms with the callback after each. Errors end the run
// quietly. False when the callback ended it.
bool RunPostponedStartup(const TRunnerCallback& Callback, const TRunnerSeams& Seams = {});

// One list: nothing when empty; for each level from 0 to its highest
// priority: the callback; each item of that priority in list order: Start,
// the callback, twice a 500 ms pause and the callback; after a level where
// an item was started (an empty value included) eleven such pauses. False
// when the callback ended it.
bool RunStartupList(const TqvAllRunItems& List, const TRunnerCallback& Callback,
                    const TRunnerSeams& Seams = {});

// Starts one item: nothing for an empty value; with expand the environment
// variables are expanded first. An is64 item on 64-bit Windows names the
// native program folders ("%ProgramFiles%" and "%CommonProgramFiles%" read as
// their 64-bit forms) and starts with file-system redirection off. Errors are
// ignored.
void StartRunItem(const TqvRegRunItem& Item, const TRunnerSeams& Seams = {});

// "%ProgramFiles%" -> "%ProgramW6432%", "%CommonProgramFiles%" ->
// "%CommonProgramW6432%", ignoring case.
std::string NativeProgramFolderMacros(const std::string& Value);
