// The stand-in web service as a program, for runs of the engine and the wizard:
//
//   fakeservice.exe --root <folder> [--log <file>] [--deadline <seconds>]
//                   [--black <add-on id>[=<note>]]... [--phone <text>]
//                   [--fail <path>=status:<code>|short|nolength|stall|empty]...
//
// --fail makes one served file fail as named (see ParseFailureSwitch), for
// the update files of a check reply.
// --phone is the number GetPhone answers (by default "12").
// Prints "port=<n>" as its first line of standard output, appends every
// request to the log file, and ends at the deadline (default 60 s) or after
// "GET /__quit". Exit status 0, or 2 for a usage error or when it cannot listen.

#include "FakeService.h"

#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int32_t kDefaultDeadlineSeconds = 60;
constexpr int32_t kMaxDeadlineSeconds = 24 * 3600;

int Usage()
{
    fputs("usage: fakeservice --root <folder> [--log <file>] [--deadline <seconds>] "
          "[--black <id>[=<note>]]... [--phone <text>]\n"
          "       [--fail <path>=status:<code>|short|nolength|stall|empty]...\n",
          stderr);
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    std::string root;
    std::string log;
    std::string phone;
    bool phoneGiven = false;
    std::vector<std::pair<std::string, std::string>> black;
    std::vector<std::pair<std::string, fakeservice::TBehaviour>> failures;
    int32_t deadline = kDefaultDeadlineSeconds;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (i + 1 >= argc)
            return Usage();
        const std::string value = AnsiFromWide(argv[++i]);
        if (arg == L"--root")
            root = value;
        else if (arg == L"--log")
            log = value;
        else if (arg == L"--phone") {
            phone = value;
            phoneGiven = true;
        }
        else if (arg == L"--black") {
            // The note is UTF-8, as the service sends it.
            const std::string text = Utf8FromWide(argv[i]);
            const size_t equals = text.find('=');
            black.emplace_back(text.substr(0, equals),
                               equals == std::string::npos ? "" : text.substr(equals + 1));
        } else if (arg == L"--fail") {
            std::string path;
            fakeservice::TBehaviour behaviour;
            if (!fakeservice::ParseFailureSwitch(value, path, behaviour))
                return Usage();
            failures.emplace_back(path, behaviour);
        } else if (arg == L"--deadline") {
            if (!TryStrToInt(value, deadline) || deadline < 1 || deadline > kMaxDeadlineSeconds)
                return Usage();
        } else
            return Usage();
    }
    if (root.empty())
        return Usage();

    fakeservice::TFakeService service(root, static_cast<DWORD>(deadline) * 1000);
    if (!log.empty())
        service.SetLogFile(log);
    if (phoneGiven)
        service.SetPhone(phone);
    for (const auto& [id, note] : black)
        service.SetBlack(id, note);
    for (const auto& [path, behaviour] : failures)
        service.SetBehaviour(path, behaviour);
    if (!service.Start()) {
        fputs("fakeservice: cannot listen on 127.0.0.1\n", stderr);
        return 2;
    }
    printf("port=%u\n", static_cast<unsigned>(service.Port()));
    fflush(stdout);
    service.WaitStopped(INFINITE);
    service.Stop();
    return 0;
}
