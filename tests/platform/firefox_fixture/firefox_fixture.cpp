// Stands in for firefox.exe: a program with a version resource that, when
// started, waits the given number of seconds (default 10) and ends by itself.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    long seconds = argc > 1 ? std::wcstol(argv[1], nullptr, 10) : 10;
    if (seconds < 0 || seconds > 60)
        seconds = 10;
    Sleep(static_cast<DWORD>(seconds) * 1000);
    return 0;
}
