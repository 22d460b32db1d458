#pragma once
// RCDATA resources of a module read as lines of 8-bit text. A resource's text
// ends at its first NUL byte.

#include "platform/StringListU.h"

#include <windows.h>

#include <memory>
#include <string>

// The text of the RCDATA resource Name of Module, up to its first NUL. False,
// Text untouched, when the resource is missing.
bool ReadResourceText(HMODULE Module, const std::string& Name, std::string& Text);

// The RCDATA resource Name of the program's own module, line by line, into
// Strings (which is cleared first). False when Strings is null or the
// resource is missing.
bool LoadResourceStrings(const std::string& Name, TStringList* Strings);

// The same from another file, loaded as a data file (nothing of it runs) and
// released afterwards; an empty FileName means the own module. An absent
// Strings list is created and an existing one cleared before anything else,
// so a failure leaves an empty list. False when the file does not exist or
// has no such resource.
bool LoadModuleResourceStrings(const std::string& FileName, const std::string& Name,
                               std::unique_ptr<TStringList>& Strings);
