// Holds a file open without sharing for a while, as a program that has it
// in use would:  lockfile.exe <path> <ms>
// Prints "locked" once the file is held; exit 0, or 2 when it cannot open it.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 2;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 2;
    std::printf("locked\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(wcstoul(argv[2], nullptr, 10)));
    CloseHandle(file);
    return 0;
}
