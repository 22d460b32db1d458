#include "platform/SecurityU.h"

#include "platform/BindingU.h"
#include "platform/WinVersionU.h"

bool ProcessIsWow64(HANDLE Process)
{
    static TBoundProc<decltype(&::IsWow64Process)> isWow64Process{Kernel32Library(),
                                                                  "IsWow64Process"};
    auto fn = isWow64Process.Get();
    if (!fn)
        return false;
    BOOL wow64 = FALSE;
    if (!fn(Process, &wow64))
        return false;
    return wow64 != FALSE;
}
