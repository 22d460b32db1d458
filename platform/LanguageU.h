#pragma once
// The user's language.

#include <string>

// The ISO 639 language name of the user's default locale (LOCALE_SISO639LANGNAME),
// e.g. "de"; '' when the system cannot tell.
std::string GetUserLanguageCode();
