#include "platform/LanguageU.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// Wine takes the user's locale from the host's LC_ALL: English by default,
// German in the platform_tests_*_de run, Japanese in the *_ja run.
TEST(TextLanguageU, UserLanguageFollowsTheLocale)
{
    const char* lc = std::getenv("LC_ALL");
    const std::string locale = lc ? lc : "";
    std::string expected = "en";
    if (locale.rfind("de_", 0) == 0)
        expected = "de";
    else if (locale.rfind("ja_", 0) == 0)
        expected = "ja";
    EXPECT_EQ(expected, GetUserLanguageCode());
}

} // namespace
