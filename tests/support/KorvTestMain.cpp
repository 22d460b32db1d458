// The main of every test program: a role run when asked for, the tests otherwise.
#include "KorvTest.h"

#include <cstdlib>

int wmain(int argc, wchar_t** argv)
{
    bool handled = false;
    int roleResult = ktest::RunRoleIfAsked(argc, argv, handled);
    if (handled)
        return roleResult;

    // The Japanese-locale run must really run under code page 932, or its
    // text tests would pass without testing anything.
    if (const char* expected = std::getenv("KORV_EXPECT_ACP")) {
        UINT acp = GetACP();
        if (acp != static_cast<UINT>(std::atoi(expected))) {
            fprintf(stderr, "expected ANSI code page %s, running under %u\n", expected, acp);
            return 2;
        }
        printf("ANSI code page %u\n", acp);
    }

    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
