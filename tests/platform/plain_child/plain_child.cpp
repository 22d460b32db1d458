// A program without resources: exits with the number given as its argument.
#include <cstdlib>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    return argc > 1 ? static_cast<int>(std::wcstol(argv[1], nullptr, 10)) : 0;
}
