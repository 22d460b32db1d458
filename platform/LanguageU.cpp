#include "platform/LanguageU.h"

#include <windows.h>

std::string GetUserLanguageCode()
{
    char buffer[16] = {};
    const int n = GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, buffer,
                                 static_cast<int>(sizeof buffer));
    return n > 1 ? std::string(buffer, static_cast<size_t>(n - 1)) : std::string();
}
