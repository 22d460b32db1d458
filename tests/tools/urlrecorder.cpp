// Stands in for the web browser in end-to-end runs: registered as the open
// command of http and https, it appends the URL it is started with (one
// line, UTF-8) to a log file and ends. Nothing is fetched.
//
//   urlrecorder.exe <log file> <url>
//
// Exit code 0 when the line was written, 2 for a wrong command line, 1 when
// the log could not be written.
#include <windows.h>

#include <string>

namespace {

std::string Utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string out(static_cast<size_t>(size - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 2;
    const std::string line = Utf8(argv[2]) + "\r\n";
    // Appended under the file's own lock: two starts at once keep whole lines.
    HANDLE file = CreateFileW(argv[1], FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    for (int attempt = 0; file == INVALID_HANDLE_VALUE && attempt < 50; ++attempt) {
        Sleep(20);
        file = CreateFileW(argv[1], FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == line.size() ? 0 : 1;
}
