// A program that postponed start-up lists start: "marker.exe <tag>" appends
// the tag and its tick count to marker.log (the file KORV_MARKER_LOG names,
// else marker.log beside itself).
#include <windows.h>

#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR CommandLine, int)
{
    char path[MAX_PATH * 2] = {};
    std::string log;
    const DWORD n = GetEnvironmentVariableA("KORV_MARKER_LOG", path, sizeof path);
    if (n > 0 && n < sizeof path) {
        log.assign(path, n);
    } else {
        const DWORD m = GetModuleFileNameA(nullptr, path, sizeof path);
        log.assign(path, m);
        log = log.substr(0, log.find_last_of('\\') + 1) + "marker.log";
    }
    const std::string line =
        std::string(CommandLine) + " " + std::to_string(GetTickCount()) + "\r\n";
    for (int i = 0; i < 200; ++i) {
        HANDLE h = CreateFileA(log.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(h);
            return 0;
        }
        Sleep(10);
    }
    return 1;
}
