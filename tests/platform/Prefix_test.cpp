// Roles used by the host-side prefix check (tests/scripts/prefix_check.sh).
#include "KorvTest.h"

#include <shellapi.h>

#include <string>

// Sends the file named by the argument to the recycle bin, as the cleaners do.
KTEST_ROLE(recycle_file)
{
    if (args.size() != 1)
        return 2;
    const int n = WideCharToMultiByte(CP_ACP, 0, args[0].c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string from(n > 0 ? n : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, args[0].c_str(), -1, from.data(), n, nullptr, nullptr);
    from.push_back('\0'); // the list ends with two NULs
    SHFILEOPSTRUCTA op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI;
    if (SHFileOperationA(&op) != 0 || op.fAnyOperationsAborted)
        return 3;
    return GetFileAttributesW(args[0].c_str()) == INVALID_FILE_ATTRIBUTES ? 0 : 4;
}

// Exit code 1 when the process runs under WoW64, 0 when not.
KTEST_ROLE(is_wow64)
{
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64))
        return 2;
    return wow64 ? 1 : 0;
}
