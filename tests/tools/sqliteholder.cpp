// Stands in for a running Firefox that holds its databases: takes an exclusive
// SQLite lock on each database named (through the sqlite3.dll beside this
// program) and keeps it until the named event is set, at most 60 s.
//
//   ktest_sqliteholder <event name> <database>...
//
// Sets the event "<event name>.ready" once every lock is held. Exit status 0,
// 2 for a usage error, 3 when a lock cannot be taken.
#include <windows.h>

#include <string>
#include <vector>

namespace {

using TOpen = int (*)(const char*, void**);
using TExec = int (*)(void*, const char*, void*, void*, char**);

std::string Narrow(const wchar_t* Text)
{
    const int n = WideCharToMultiByte(CP_ACP, 0, Text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_ACP, 0, Text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring library = self;
    library = library.substr(0, library.find_last_of(L'\\') + 1) + L"sqlite3.dll";
    HMODULE sqlite = LoadLibraryExW(library.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!sqlite)
        return 3;
    auto open = reinterpret_cast<TOpen>(GetProcAddress(sqlite, "sqlite3_open"));
    auto exec = reinterpret_cast<TExec>(GetProcAddress(sqlite, "sqlite3_exec"));
    if (!open || !exec)
        return 3;
    std::vector<void*> held;
    for (int i = 2; i < argc; ++i) {
        void* db = nullptr;
        if (open(Narrow(argv[i]).c_str(), &db) != 0 ||
            exec(db, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr, nullptr,
                 nullptr) != 0)
            return 3;
        held.push_back(db);
    }
    const std::wstring name = argv[1];
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, (name + L".ready").c_str());
    if (!done || !ready)
        return 3;
    SetEvent(ready);
    WaitForSingleObject(done, 60000);
    return 0;
}
